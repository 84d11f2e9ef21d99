#include "tools/lumenaview_webconfig.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <yaml-cpp/yaml.h>

#include <array>
#include <cstring>
#include <set>

namespace lumenaview {

namespace {

// A failed check: the field it is about and what is wrong with it.
struct Problem {
    std::string field;
    std::string what;
};

std::string openSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// Keys of `node` outside `known` are misspellings or options this exporter
// does not have: either way the file does not say what its writer thinks.
std::optional<Problem> unknownKey(const YAML::Node& node, const std::string& prefix,
                                  const std::set<std::string>& known) {
    for (const auto& entry : node) {
        const std::string key = entry.first.as<std::string>();
        if (!known.count(key))
            return Problem{prefix + key, "unknown field"};
    }
    return std::nullopt;
}

std::string relativeTo(const std::string& directory, const std::string& path) {
    return path.empty() || path.front() == '/' ? path : directory + path;
}

const std::map<std::string, int> kTlsVersions = {{"TLS10", TLS1_VERSION},
                                                 {"TLS11", TLS1_1_VERSION},
                                                 {"TLS12", TLS1_2_VERSION},
                                                 {"TLS13", TLS1_3_VERSION}};
const std::set<std::string> kClientAuthTypes = {"NoClientCert", "RequestClientCert",
                                                "RequireAnyClientCert", "VerifyClientCertIfGiven",
                                                "RequireAndVerifyClientCert"};

bool verifiesClients(const std::string& type) {
    return type.rfind("Verify", 0) == 0 || type == "RequireAndVerifyClientCert";
}

std::optional<Problem> readTls(const YAML::Node& node, const std::string& directory,
                               WebConfig& config) {
    const std::string p = "tls_server_config.";
    if (!node.IsMap())
        return Problem{"tls_server_config", "not a mapping"};
    if (auto problem = unknownKey(
            node, p,
            {"cert_file", "key_file", "client_auth_type", "client_ca_file", "min_version",
             "max_version", "cipher_suites", "curve_preferences", "prefer_server_cipher_suites"}))
        return problem;
    for (const char* ignored : {"max_version", "cipher_suites", "curve_preferences"}) {
        if (node[ignored])
            return Problem{p + ignored, "not supported by this exporter"};
    }
    config.tls = true;
    config.certFile = relativeTo(directory, node["cert_file"].as<std::string>(""));
    config.keyFile = relativeTo(directory, node["key_file"].as<std::string>(""));
    config.clientCaFile = relativeTo(directory, node["client_ca_file"].as<std::string>(""));
    config.clientAuthType = node["client_auth_type"].as<std::string>("NoClientCert");
    if (config.certFile.empty())
        return Problem{p + "cert_file", "missing"};
    if (config.keyFile.empty())
        return Problem{p + "key_file", "missing"};
    if (!kClientAuthTypes.count(config.clientAuthType))
        return Problem{p + "client_auth_type",
                       "'" + config.clientAuthType + "' is not a known type"};
    if (verifiesClients(config.clientAuthType) && config.clientCaFile.empty())
        return Problem{p + "client_ca_file", "missing; " + config.clientAuthType + " needs it"};
    if (node["min_version"]) {
        const std::string version = node["min_version"].as<std::string>();
        const auto it = kTlsVersions.find(version);
        if (it == kTlsVersions.end())
            return Problem{p + "min_version",
                           "'" + version + "' is not TLS10, TLS11, TLS12 or TLS13"};
        config.minVersion = it->second;
    }
    return std::nullopt;
}

bool isBcrypt(const std::string& hash) {
    return hash.size() == 60 &&
           (hash.rfind("$2a$", 0) == 0 || hash.rfind("$2b$", 0) == 0 || hash.rfind("$2y$", 0) == 0);
}

std::optional<Problem> readUsers(const YAML::Node& node, WebConfig& config) {
    if (!node.IsMap())
        return Problem{"basic_auth_users", "not a mapping of user names to bcrypt hashes"};
    for (const auto& entry : node) {
        const std::string user = entry.first.as<std::string>();
        const std::string hash = entry.second.as<std::string>("");
        if (user.empty() || user.find(':') != std::string::npos)
            return Problem{"basic_auth_users", "user name '" + user + "' is empty or has a ':'"};
        if (!isBcrypt(hash))
            return Problem{"basic_auth_users." + user, "not a bcrypt hash ($2y$...)"};
        config.users[user] = hash;
    }
    return std::nullopt;
}

std::optional<Problem> readWebConfig(const YAML::Node& root, const std::string& directory,
                                     WebConfig& config) {
    if (root.IsNull())
        return std::nullopt;  // an empty file: plain HTTP, no users
    if (!root.IsMap())
        return Problem{"(top level)", "not a mapping"};
    if (auto problem =
            unknownKey(root, "", {"tls_server_config", "basic_auth_users", "http_server_config"}))
        return problem;
    if (root["http_server_config"])
        return Problem{"http_server_config", "not supported by this exporter"};
    if (root["tls_server_config"]) {
        if (auto problem = readTls(root["tls_server_config"], directory, config))
            return problem;
    }
    if (root["basic_auth_users"])
        return readUsers(root["basic_auth_users"], config);
    return std::nullopt;
}

// Which verification a client_auth_type asks for.
int verifyMode(const std::string& type) {
    if (type == "NoClientCert")
        return SSL_VERIFY_NONE;
    const bool required = type == "RequireAnyClientCert" || type == "RequireAndVerifyClientCert";
    return SSL_VERIFY_PEER | (required ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0);
}

// Accepts any certificate: RequestClientCert and RequireAnyClientCert ask for
// one without checking who signed it.
int acceptAny(int, X509_STORE_CTX*) {
    return 1;
}

}  // namespace

std::optional<WebConfig> loadWebConfig(const std::string& path, std::string& error) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    WebConfig config;
    std::optional<Problem> problem;
    try {
        problem = readWebConfig(YAML::LoadFile(path), directory, config);
    } catch (const YAML::BadFile&) {
        problem = Problem{"(file)", std::string("cannot read it: ") + std::strerror(errno)};
    } catch (const YAML::Exception& e) {
        // A value of the wrong kind (a list where a string belongs) or bad YAML.
        problem = Problem{"(line " + std::to_string(e.mark.line + 1) + ")", e.msg};
    }
    if (!problem && config.tls) {  // the certificate and key must load now, not at the first scrape
        std::string tlsError;
        if (!makeTlsContext(config, tlsError))
            problem = Problem{"tls_server_config", tlsError};
    }
    if (problem) {
        error = "web config " + path + ": " + problem->field + ": " + problem->what;
        return std::nullopt;
    }
    return config;
}

TlsContext makeTlsContext(const WebConfig& config, std::string& error) {
    TlsContext context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context) {
        error = "cannot make a TLS context: " + openSslError();
        return nullptr;
    }
    SSL_CTX* ctx = context.get();
    SSL_CTX_set_min_proto_version(ctx, config.minVersion);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(ctx, config.certFile.c_str()) != 1) {
        error = "cert_file: " + config.certFile + ": " + openSslError();
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, config.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        error = "key_file: " + config.keyFile + ": " + openSslError();
        return nullptr;
    }
    if (!config.clientCaFile.empty()) {
        if (SSL_CTX_load_verify_locations(ctx, config.clientCaFile.c_str(), nullptr) != 1) {
            error = "client_ca_file: " + config.clientCaFile + ": " + openSslError();
            return nullptr;
        }
        SSL_CTX_set_client_CA_list(ctx, SSL_load_client_CA_file(config.clientCaFile.c_str()));
    }
    const int mode = verifyMode(config.clientAuthType);
    SSL_CTX_set_verify(ctx, mode, verifiesClients(config.clientAuthType) ? nullptr : acceptAny);
    return context;
}

bool passwordMatches(const std::string& hash, const std::string& password) {
    crypt_data data{};
    const char* result = crypt_rn(password.c_str(), hash.c_str(), &data, sizeof data);
    return result != nullptr && *result != '*' && std::strlen(result) == hash.size() &&
           CRYPTO_memcmp(result, hash.data(), hash.size()) == 0;
}

}  // namespace lumenaview
