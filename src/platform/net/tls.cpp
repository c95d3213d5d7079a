#include "platform/net/tls.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/error.hpp>
#include <openssl/x509v3.h>

namespace quendra::tls {

boost::asio::ssl::context& clientContext() {
    static boost::asio::ssl::context context = [] {
        boost::asio::ssl::context ctx(boost::asio::ssl::context::tls_client);
        ctx.set_options(boost::asio::ssl::context::default_workarounds | boost::asio::ssl::context::no_sslv2 |
                        boost::asio::ssl::context::no_sslv3 | boost::asio::ssl::context::no_tlsv1 |
                        boost::asio::ssl::context::no_tlsv1_1);
        ctx.set_verify_mode(boost::asio::ssl::verify_peer);
        boost::system::error_code ignored;
        ctx.set_default_verify_paths(ignored);  // without a store every peer simply fails to verify
        return ctx;
    }();
    return context;
}

bool prepareClient(SSL* ssl, const std::string& host) {
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    boost::system::error_code notAddress;
    boost::asio::ip::make_address(host, notAddress);
    if (!notAddress) {
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    }
    if (SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) return false;
    return SSL_set1_host(ssl, host.c_str()) == 1;
}

std::string errorText(const boost::system::error_code& error, SSL* ssl) {
    std::string text = error.message();
    if (ssl != nullptr && error.category() == boost::asio::error::get_ssl_category()) {
        const long verdict = SSL_get_verify_result(ssl);
        if (verdict != X509_V_OK) {
            text += ": ";
            text += X509_verify_cert_error_string(verdict);
        }
    }
    return text;
}

}  // namespace quendra::tls
