// Every string result passes through here, so that the client always receives well-formed
// XML-RPC (xmlrpc-c 1.33 carries only XML 1.0 characters of the Basic Multilingual Plane).
#ifndef SERVICE_XMLSAFE_H
#define SERVICE_XMLSAFE_H

#include <string>

// The controller's bytes, carried so that a client recovers every one of them exactly: a byte
// XML allows as a character (TAB, LF, CR, 0x20-0x7F) is itself; another control byte becomes
// the control picture U+2400 + byte; any other byte becomes the character of the same number
// (U+0080 to U+00FF). Only valid UTF-8 of a character from U+0100 to U+FFFF that is neither a
// control picture nor outside XML stays as sent, since a client cannot mistake it for a byte.
std::string xmlSafeBytes(const std::string& bytes);

// Text that came from a client (a title, a name): valid UTF-8 of BMP characters XML allows is
// returned unchanged; anything else is carried by the rules of xmlSafeBytes.
std::string xmlSafeText(const std::string& text);

#endif
