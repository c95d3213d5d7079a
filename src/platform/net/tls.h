// The one TLS client context of the process and the per-connection checks. Platform-internal.
#pragma once

#include <string>

#include <boost/asio/ssl/context.hpp>
#include <boost/system/error_code.hpp>
#include <openssl/ssl.h>

namespace quendra::tls {

// Verifies peers against OpenSSL's default trust locations (so SSL_CERT_FILE and SSL_CERT_DIR
// apply), read when the context is first made; TLS 1.2 or later.
boost::asio::ssl::context& clientContext();

// Presents `host` by SNI (unless it is an IP literal) and requires a certificate valid for it.
// False when OpenSSL refuses the name.
bool prepareClient(SSL* ssl, const std::string& host);

// The error's text, with OpenSSL's certificate verdict added when verification failed.
std::string errorText(const boost::system::error_code& error, SSL* ssl);

}  // namespace quendra::tls
