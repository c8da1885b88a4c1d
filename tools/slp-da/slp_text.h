#pragma once

// SLP string rules used by the Directory Agent: comparison folding, \HH escapes, scope lists and
// service types. Pure functions; any thread.

#include <string>
#include <vector>

#include "slp_wire.h"

namespace slpda {

// SPACE, TAB, CR or LF.
bool isBlank(char c);

// The comparison form of a string: leading and trailing white space dropped, inner runs folded
// to one space, ASCII letters lowered. "  Some String  " and "SOME    STRING" fold alike.
std::string fold(const std::string& s);

// Lowers ASCII letters only.
std::string lowerAscii(const std::string& s);

using slpwire::trim;

// Decodes \HH escapes (two hex digits, either case). False when a backslash is not followed by
// two hex digits.
bool unescape(const std::string& in, std::string* out);

using slpwire::splitList;

// True when the comma list has at least one item and every item is non-empty after trimming and
// free of the characters a scope may not hold unescaped ("( ) ! < = > ~ ; * +" and control
// characters; a backslash must start a \HH escape). *bad receives the offending item.
bool validScopeList(const std::string& list, std::string* bad);

// True when the two scope lists share a scope (folded comparison).
bool scopesIntersect(const std::vector<std::string>& a, const std::vector<std::string>& b);

// True when every scope of `part` is in `all`.
bool scopesCovered(const std::vector<std::string>& part, const std::vector<std::string>& all);

// True when both lists hold the same scopes, in any order.
bool scopesEqual(const std::vector<std::string>& a, const std::vector<std::string>& b);

// The service type of a URL: the text before "://" ("service:ESMProxy" for
// "service:ESMProxy://h:1", "http" for "http://x"), or "" when there is no "://".
std::string urlServiceType(const std::string& url);

// Why the port of a URL of the given type is unusable, or "" when it is fine: a port given
// must be 1..65535 ("port 70200 is not in 1..65535"), and an ESMProxy URL, which names where the
// daemon sends ESMInit, must give one. Other URLs may go without (CompResource URLs have none).
std::string urlPortProblem(const std::string& url, const std::string& type);

// The comparison form of a service type: blanks around it and a leading "service:" dropped,
// letters lowered ("service:ESMProxy" and "esmproxy" both give "esmproxy").
std::string typeKey(const std::string& type);

// Whether a requested service type finds a registered one. A leading "service:" is ignored on
// both sides and case never matters; a requested type with a ':' must equal the registered
// type, one without must equal it or its abstract part ("printer" finds "printer:lpr").
bool typeMatches(const std::string& requested, const std::string& registered);

// Whether v holds pieces[0] at its start, pieces.back() at its end and the pieces between in
// order, without overlap: the match of a pattern "p0*p1*...*pn" (pieces must not be empty).
bool matchPieces(const std::string& v, const std::vector<std::string>& pieces);

// Text safe for one log line: '"', control bytes and bytes above 0x7e become \HH.
std::string logSafe(const std::string& s);

}  // namespace slpda
