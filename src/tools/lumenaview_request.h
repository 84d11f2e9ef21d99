// The exporter's reading of an HTTP/1.1 request head, which is all it ever
// reads of a request: the request line and the two header fields it uses.
#pragma once

#include <string>
#include <string_view>

namespace lumenaview {

// The request head, parsed; `status` is 0 when it is well-formed, else the
// status to answer (400).
struct Request {
    int status = 0;
    std::string method;
    std::string path;  // the target without its query
    std::string accept;
    std::string authorization;
};

// `head` runs up to the empty line that ends it (not included).
Request parseHead(std::string_view head);

// A method of HTTP; another token is a method this server does not implement.
bool knownMethod(std::string_view method);

// The user and password of "Basic BASE64(user:password)"; false when malformed.
bool basicCredentials(const std::string& header, std::string& user, std::string& password);

const char* reasonPhrase(int status);

}  // namespace lumenaview
