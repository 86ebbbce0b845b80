#include "Response.h"

#include <expat.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct Reader {
    std::string text;        // character data of the innermost open element
    std::string type;        // the type element inside the current value, if any
    std::string typedText;   // its content
    std::string memberName;  // the member being read in a fault's struct
    bool inFault = false;
    bool sawValue = false;
    Response response;
};

bool integerType(const std::string& type) {
    return type == "i4" || type == "int";
}

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char**) {
    auto* reader = static_cast<Reader*>(data);
    std::string element = name;
    if (element == "fault") reader->inFault = true;
    if (element == "value") reader->type.clear();
    if (integerType(element) || element == "string" || element == "boolean" ||
        element == "double" || element == "base64" || element == "array" || element == "struct") {
        if (reader->type.empty()) reader->type = element;
    }
    reader->text.clear();
}

void XMLCALL onEnd(void* data, const XML_Char* name) {
    auto* reader = static_cast<Reader*>(data);
    Response& response = reader->response;
    std::string element = name;
    if (element == "name") reader->memberName = reader->text;
    if (element == reader->type && element != "struct" && element != "array") {
        reader->typedText = reader->text;
    }
    if (element != "value" || reader->type == "struct") return;
    // A value without a type element is a string.
    std::string content = reader->type.empty() ? reader->text : reader->typedText;
    bool isInt = integerType(reader->type);
    if (reader->inFault) {
        if (reader->memberName == "faultCode" && isInt) {
            response.number = std::strtol(content.c_str(), nullptr, 10);
        } else if (reader->memberName == "faultString") {
            response.text = content;
        }
        return;
    }
    if (reader->sawValue) return;  // only the first parameter counts
    reader->sawValue = true;
    if (isInt) {
        response.kind = Response::Int;
        response.number = std::strtol(content.c_str(), nullptr, 10);
    } else if (reader->type.empty() || reader->type == "string") {
        response.kind = Response::String;
        response.text = content;
    } else {
        response.text = "a result of type " + reader->type;
    }
}

void XMLCALL onText(void* data, const XML_Char* text, int length) {
    static_cast<Reader*>(data)->text.append(text, static_cast<std::size_t>(length));
}

}  // namespace

Response parseResponse(const std::string& xml) {
    std::unique_ptr<XML_ParserStruct, void (*)(XML_Parser)> parser(XML_ParserCreate("UTF-8"),
                                                                   XML_ParserFree);
    Reader reader;
    reader.response.text = "no result in the response";
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), onStart, onEnd);
    XML_SetCharacterDataHandler(parser.get(), onText);
    if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), 1) != XML_STATUS_OK) {
        Response unreadable;
        unreadable.text = std::string("the response is not XML: ") +
                          XML_ErrorString(XML_GetErrorCode(parser.get()));
        return unreadable;
    }
    if (reader.inFault) reader.response.kind = Response::Fault;
    return reader.response;
}
