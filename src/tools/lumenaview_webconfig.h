// The exporter's web configuration file (--web.config.file), in the YAML form
// that the exporters of a Prometheus fleet share:
//
//   tls_server_config:
//     cert_file: server.crt          # relative paths: from the file's directory
//     key_file: server.key
//     client_auth_type: NoClientCert # RequestClientCert, RequireAnyClientCert,
//                                    # VerifyClientCertIfGiven, RequireAndVerifyClientCert
//     client_ca_file: ca.crt         # needed by the two Verify... types
//     min_version: TLS12             # TLS10, TLS11, TLS12 (default), TLS13
//   basic_auth_users:
//     prometheus: $2y$10$...         # bcrypt hash (htpasswd -nBC 10 "" | tr -d ':')
//
// Unknown keys are errors, so that a misspelt key does not silently leave the
// exporter open. Every error names the field it is about.
#pragma once

#include <openssl/ssl.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace lumenaview {

struct WebConfig {
    bool tls = false;
    std::string certFile;
    std::string keyFile;
    std::string clientAuthType = "NoClientCert";
    std::string clientCaFile;
    int minVersion = TLS1_2_VERSION;
    std::map<std::string, std::string> users;  // user name: bcrypt hash
};

// Reads and checks `path` (certificates and keys included); nullopt with
// `error` set ("web config FILE: FIELD: what is wrong") when it is unusable.
std::optional<WebConfig> loadWebConfig(const std::string& path, std::string& error);

using TlsContext = std::shared_ptr<SSL_CTX>;
// The server context for `config` (config.tls must be true); null with `error`.
TlsContext makeTlsContext(const WebConfig& config, std::string& error);

// True when `password` matches the bcrypt `hash`; compared in constant time.
bool passwordMatches(const std::string& hash, const std::string& password);

}  // namespace lumenaview
