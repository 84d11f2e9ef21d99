#include "tools/lumenaview_request.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>

namespace lumenaview {

namespace {

bool isToken(std::string_view text) {
    constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               kSymbols.find(c) != std::string_view::npos;
    });
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

const char* reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 431:
            return "Request Header Fields Too Large";
        case 501:
            return "Not Implemented";
        default:
            return "Service Unavailable";
    }
}

bool knownMethod(std::string_view method) {
    static constexpr std::string_view kKnown[] = {"GET",     "HEAD",    "POST",  "PUT",  "DELETE",
                                                  "CONNECT", "OPTIONS", "TRACE", "PATCH"};
    return std::find(std::begin(kKnown), std::end(kKnown), method) != std::end(kKnown);
}

Request parseHead(std::string_view head) {
    Request request;
    size_t end = head.find('\n');
    const std::string_view line = trim(head.substr(0, end));
    const size_t first = line.find(' '), last = line.rfind(' ');
    if (first == std::string_view::npos || first == last) {
        request.status = 400;
        return request;
    }
    request.method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, last - first - 1);
    const std::string_view version = line.substr(last + 1);
    if (!isToken(request.method) || target.empty() || target.front() != '/' ||
        target.find(' ') != std::string_view::npos || version.rfind("HTTP/1.", 0) != 0) {
        request.status = 400;
        return request;
    }
    request.path = target.substr(0, target.find('?'));
    bool hasAuthorization = false;
    while (end != std::string_view::npos) {
        const size_t next = head.find('\n', end + 1);
        const std::string_view raw = head.substr(end + 1, next - end - 1);
        const std::string_view field = trim(raw);
        end = next;
        if (field.empty())
            break;
        // A line that starts with white space continues the field before it
        // (obsolete folding); read as a field of its own, it would smuggle one
        // past a proxy that folds it.
        const bool folded = raw.front() == ' ' || raw.front() == '\t';
        const size_t colon = field.find(':');
        if (folded || colon == std::string_view::npos || !isToken(field.substr(0, colon))) {
            request.status = 400;
            return request;
        }
        const std::string_view name = field.substr(0, colon), value = trim(field.substr(colon + 1));
        if (sameName(name, "Accept"))
            request.accept = value;
        else if (sameName(name, "Authorization")) {
            if (hasAuthorization) {  // twice: which one a proxy checked is anyone's guess
                request.status = 400;
                return request;
            }
            request.authorization = value;
            hasAuthorization = true;
        }
    }
    return request;
}

bool basicCredentials(const std::string& header, std::string& user, std::string& password) {
    if (header.size() < 6 || !sameName(std::string_view(header).substr(0, 6), "Basic "))
        return false;
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string decoded;
    uint32_t bits = 0;
    int count = 0;
    const std::string_view text = trim(std::string_view(header).substr(6));
    const size_t padding = std::min(text.find('='), text.size());
    if (text.find_first_not_of('=', padding) != std::string_view::npos)
        return false;  // text after the padding: not one encoding, but several
    for (const char c : text.substr(0, padding)) {
        const size_t value = kAlphabet.find(c);
        if (value == std::string_view::npos)
            return false;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if ((count += 6) >= 8) {
            count -= 8;
            decoded += static_cast<char>((bits >> count) & 0xff);
        }
    }
    const size_t colon = decoded.find(':');
    // A NUL byte would end the password where the password check reads it.
    if (colon == std::string::npos || decoded.find('\0') != std::string::npos)
        return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

}  // namespace lumenaview
