// Masking of credentials in texts that are about to be logged.
#pragma once

#include <string>

namespace bxrest {

// Returns text with the value of every occurrence of a credential replaced by
// '*' characters, keeping the length: JSON members "access_token", "password",
// "id_token", "refresh_token", "private_key", "assertion" and
// "client_secret" (quotes included for strings; escaped JSON inside a JSON
// string too), and the form fields "assertion=", "password=",
// "client_secret=" up to the next '&'.
std::string maskSecrets(const std::string& text);

// What of a body goes into a log line: masked as maskSecrets does (on the
// whole body, so that a cut cannot leave half a secret unmasked), and at
// most the first 16 KiB, followed by " ... [N bytes in all]" when longer.
std::string maskedForLog(const std::string& body);

}  // namespace bxrest
