#pragma once
#include <string>
#include <string_view>

namespace px {

// A Host header or an origin's authority, taken apart: the name in lower
// case (an IPv6 literal without its brackets) and the port, -1 when none.
struct Authority {
  std::string name;
  int port = -1;
};

// False for anything that is not a plain name or address with an optional
// port: blanks, a user part, a path, an unbracketed IPv6 literal, a port
// that is not a number up to 65535.
bool ParseAuthority(std::string_view text, Authority& out);
// An IPv4 or IPv6 address written out (not a name).
bool IsIpLiteral(const std::string& name);
// 127.0.0.0/8, ::1 or an IPv4-mapped 127 address, parsed, never matched by
// prefix: "127.evil.example" is a name like any other.
bool IsLoopbackLiteral(const std::string& name);
// A listening address that lets only this machine in: a loopback literal
// or "localhost".
bool IsLoopbackBind(const std::string& bind);
// Two written addresses name the same one (an IPv4-mapped IPv6 address
// equals its IPv4 address); false when either is not an address.
bool SameAddress(const std::string& a, const std::string& b);

}  // namespace px
