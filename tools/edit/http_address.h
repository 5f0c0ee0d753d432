// http_address.h - the addresses a local web server listens on and the
// Host headers it answers, shared by the editor and `serve`.
//
// A page on another site can make the browser send requests to a server on
// the loopback (DNS rebinding: a name of that site resolving to 127.0.0.1);
// only the Host header tells such requests apart. A server therefore answers
// only Host headers that name it by an address DNS cannot rebind: an IP
// literal or localhost, with its own port.
#ifndef TARVOCOIL_TOOLS_EDIT_HTTP_ADDRESS_H
#define TARVOCOIL_TOOLS_EDIT_HTTP_ADDRESS_H

#include <string>

namespace tarvotool {

bool IsIpLiteral(const std::string& name);  // "10.0.0.1", "[::1]"
bool IsLoopback(const std::string& host);   // "localhost", "::1", "127.x.y.z"
// The host part (lower case, IPv6 kept in brackets) and port of a Host
// header ("name:port", "[v6]:port", "name" with port 80).
bool SplitHost(const std::string& value, std::string& name, int& port);
// The same where the port must be there ("127.0.0.1:8770", "[::1]:8770").
bool SplitHostPort(const std::string& value, std::string& name, int& port);
// Whether a Host header names a server listening on bound:port.
bool HostNamesServer(const std::string& value, const std::string& bound, int port);
// Why `host` is no address this machine can listen on; empty when it is.
std::string AddressProblem(const std::string& host);
// Why host:port cannot be bound, as the system says it; `inUse` when the
// port is taken.
std::string BindProblem(const std::string& host, int port, const std::string& inUse);

}  // namespace tarvotool

#endif
