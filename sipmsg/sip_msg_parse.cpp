// Parser: placeholder until the parser lands.
#include "sipmsg/sip_msg.h"
char* sip_msg::init_from_buf(char* text, KZSIPEvent*) { release(); return text + __builtin_strlen(text) + 1; }
