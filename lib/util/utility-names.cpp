// Host name, user name splitting and the native/code-page text conversions.
#include <unistd.h>

#include <cstring>
#include <string>

#include "sys-internal.h"
#include "utility.h"

using bv_internal::g_sys;

int GetSysHostName(std::string& host) {
    // Zeroed so that a failing gethostname yields an empty name, and one byte
    // is kept back because a truncated name comes without a terminator.
    char buf[512] = {};
    (void)g_sys.gethostname(buf, sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    host.assign(buf);
    return 0;
}

void ParsingByDelimiter(std::string input, std::string& str1, std::string& str2, std::string deli) {
    const size_t p = deli.empty() ? std::string::npos : input.rfind(deli);
    if (p == std::string::npos) {
        str1.clear();
        str2 = input;
        return;
    }
    str1 = input.substr(0, p);
    // The delimiters in use are one character wide; past it starts the rest
    // (empty when the delimiter ends the input).
    str2 = input.substr(p + 1);
}

void ParseUsrName(std::string& user_name, std::string& domain) {
    const std::string input = user_name;
    if (input.find('/') != std::string::npos)
        ParsingByDelimiter(input, domain, user_name, "/");
    else if (input.find('\\') != std::string::npos)
        ParsingByDelimiter(input, domain, user_name, "\\");
    else
        domain.clear();
}

int UTF8ToNativeStr(const std::string& in, ustring& out) {
    if (in.empty())
        out = "";
    else
        out = in;
    return 0;
}

int CodePageToNativeStr(const std::string& in, ustring& out) {
    return UTF8ToNativeStr(in, out);
}

int NativeStrToUTF8(const ustring& in, std::string& out) {
    if (in == ustring())
        out.clear();
    else
        out.assign(in.c_str(), std::strlen(in.c_str()));
    return 0;
}

int NativeStrToCodePage(const ustring& in, std::string& out) {
    return NativeStrToUTF8(in, out);
}
