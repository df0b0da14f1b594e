// The rtpmap and fmtp attribute lines by which the module offers and answers its codecs.
#pragma once

#include "host/KZRTPPayload.h"

#include <string>
#include <vector>

// Lines offering a codec code of a preference list or a preset codec, at the code's own payload
// number; empty for codes the module does not offer (of the G.726 codes only 98 is offered).
std::vector<std::string> KZ_OfferLinesForCodec(int codecCode);

// Lines describing a negotiated payload at its own number, with the fmtp line its variant needs.
std::vector<std::string> KZ_LinesForPayload(const KZAPI::StaticPayloadInfo& info);

// The rtpmap line alone of a payload found in another call's offer.
std::string KZ_RtpMapLineForPayload(const KZAPI::StaticPayloadInfo& info);
