#pragma once
// The Web page dialog (Capture > Web page...): the page on or off, its port,
// whether other computers may connect, and its password.
#include <string>

#include "platform/windef.h"
#include "settings/settings.h"

namespace web {

// Shows the dialog over the window `owner`, filled in from `options`; url is
// where the page is served now (empty when it is not). When the user presses
// OK, `options` takes what the dialog shows (a new password hashed) and true
// is returned. Other computers cannot be let in without a password.
bool editWebOptions(HWND owner, settings::WebOptions& options, const std::string& url);

}  // namespace web
