#pragma once
// The web page's password, kept only as a salted hash: PBKDF2 with
// HMAC-SHA256 over a random salt, written "pbkdf2-sha256$ROUNDS$SALT$HASH"
// (salt and hash in base64).
#include <string>

namespace password {

// A new hash of the password, with a salt of its own.
std::string hash(const std::string& password);
// Whether the password is the one hashed; false for a hash not of this form.
bool verify(const std::string& password, const std::string& hashed);

}  // namespace password
