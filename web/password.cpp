#include "web/password.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>
#include <QPasswordDigestor>
#include <QRandomGenerator>

namespace password {
namespace {

// Rounds enough to make guessing slow, few enough for a small board; a
// password that verified is remembered by the server, not checked anew.
constexpr int kRounds = 100000;
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;
constexpr const char* kScheme = "pbkdf2-sha256";

QByteArray derive(const std::string& password, const QByteArray& salt, int rounds) {
  return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, QByteArray::fromStdString(password),
                                            salt, rounds, kHashBytes);
}

}  // namespace

std::string hash(const std::string& password) {
  QByteArray salt(kSaltBytes, '\0');
  QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(salt.data()), kSaltBytes / 4);
  return (QByteArray(kScheme) + '$' + QByteArray::number(kRounds) + '$' + salt.toBase64() + '$' +
          derive(password, salt, kRounds).toBase64())
      .toStdString();
}

bool verify(const std::string& password, const std::string& hashed) {
  const QList<QByteArray> parts = QByteArray::fromStdString(hashed).split('$');
  if (parts.size() != 4 || parts[0] != kScheme) return false;
  bool ok = false;
  const int rounds = parts[1].toInt(&ok);
  if (!ok || rounds < 1 || rounds > 10'000'000) return false;
  const QByteArray expected = QByteArray::fromBase64(parts[3]);
  const QByteArray got = derive(password, QByteArray::fromBase64(parts[2]), rounds);
  if (expected.size() != kHashBytes || got.size() != kHashBytes) return false;
  // Compared in constant time.
  unsigned char diff = 0;
  for (int i = 0; i < kHashBytes; ++i) diff |= static_cast<unsigned char>(expected[i] ^ got[i]);
  return diff == 0;
}

}  // namespace password
