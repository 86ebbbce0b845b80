// Every string result passes through here, so that the client always receives well-formed
// XML-RPC that carries the received bytes as exactly as XML allows.
#ifndef SERVICE_XMLSAFE_H
#define SERVICE_XMLSAFE_H

#include <string>

// Valid UTF-8 made of characters XML 1.0 allows is returned unchanged (CR included). Otherwise
// only the offending bytes are replaced: a control byte XML cannot carry (0x00-0x08, 0x0B, 0x0C,
// 0x0E-0x1F) becomes the control picture U+2400 + byte, and a byte that is not part of a valid
// UTF-8 sequence becomes the character with the same number (U+0080 to U+00FF).
std::string xmlSafe(const std::string& bytes);

#endif
