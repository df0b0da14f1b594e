// The header and body descriptors of the message layer. One row per header names it (long and
// compact form), lists the elements it fills and says how it is parsed and composed; the parser's
// dispatch, the composer's header lines and the element names are all read from these rows.
#pragma once

#include "host/CString.h"
#include "sipmsg/sip_msg.h"

#include <cstdint>
#include <string_view>

namespace kz_sip {

using HeaderParser = uint32_t (sip_msg::*)(std::string_view);
using HeaderComposer = uint32_t (sip_msg::*)(KZAPI::CString*) const;

struct ElementName {
    uint32_t id = 0;
    const char* name = nullptr;
    bool dumped = false; // named by the message dump (kz_sip_ie_name)
};

enum class Form : uint8_t {
    Value,        // "Name: " + value 0
    LinePerValue, // "Name: " + value + " " on a line of its own for every value
    Own,          // the row's compose function
    ParseOnly,    // never written from its elements (Content-Length follows the body)
};

struct HeaderDescriptor {
    std::string_view line_start; // "Name: " as composed; empty for lines that are never parsed
    std::string_view compact;    // compact form, or empty
    HeaderParser parse;          // null: never parsed
    Form form;
    HeaderComposer compose;   // for Form::Own
    ElementName elements[14]; // elements[0] is the one whose presence writes the header

    // The long form of the name, without its ": ".
    constexpr std::string_view name() const {
        return line_start.substr(0, line_start.size() < 2 ? 0 : line_start.size() - 2);
    }
};

// Body kinds: chosen by the Content-Type when parsing, started by their lead element when composing.
struct BodyDescriptor {
    int kind;                          // sip_msg::BodyKind
    std::string_view content_types[2]; // Content-Type substrings that select the kind
    bool message_request_only;
    uint32_t (*parse_line)(sip_msg&, std::string_view line, KZSIPEvent* event, int* media_kind);
    uint32_t lead; // element that starts the body when composing
    HeaderComposer compose;
    std::string_view content_type_line; // written when the message carries no Content-Type
};

// The row for a header name (without its colon, compared without regard to case), or null.
const HeaderDescriptor* find_header(std::string_view name);
// The row whose header an element leads (elements[0]), or null.
const HeaderDescriptor* header_led_by(uint32_t id);
// The body kind of a Content-Type; null for header mode.
const BodyDescriptor* body_for_content_type(std::string_view content_type, bool is_message_request);
const BodyDescriptor* body_of_kind(int kind);
const BodyDescriptor* body_led_by(uint32_t id);

} // namespace kz_sip
