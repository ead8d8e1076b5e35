#include "openssl_util.h"

#include <openssl/err.h>

namespace kvn_crypto::detail {

std::string opensslErrorText() {
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  if (error == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(error, text, sizeof text);
  return text;
}

}  // namespace kvn_crypto::detail
