// Reading the server's settings from the host configuration when the server is created.
#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"

#include <cstdlib>
#include <cstring>
#include <string>

using KZAPI::CString;

namespace {

// A configured flag as 0 or 1.
int flag(const char* key, int default_value) {
    return KZAPI::CKZCfgInterface::CFG_GetIntValue(key, default_value) != 0 ? 1 : 0;
}

} // namespace

void CKZSIPServer::ParseCodecList(const char* text, int* list, int max) {
    int n = 0;
    const char* p = text ? text : "";
    while (*p && n < max) {
        const char* comma = std::strchr(p, ',');
        const std::string item = comma ? std::string(p, comma) : std::string(p);
        const std::string_view value = KZAPI::trim_spaces(item);
        list[n++] = value.empty() ? -1 : std::atoi(std::string(value).c_str());
        if (!comma) break;
        p = comma + 1;
    }
    list[n] = -1;
}

void CKZSIPServer::ReadStunServers() {
    bool seen = false;
    for (int i = 0; i < 6; ++i) {
        char key[64];
        if (i == 0)
            KZAPI::str_cpy(key, "kzsrv.sip.stun.server", sizeof(key));
        else
            KZAPI::s_printf(key, sizeof(key), "kzsrv.sip.stun.server%d", i);
        const CString value = CFG_GetValue(key, "");
        if (!value.IsEmpty()) {
            m_pSIPGroup->SetSTUNServer(i, value.c_str());
            seen = true;
            continue;
        }
        // Present but empty clears the slot like a value would set it; absent ends the list once
        // a server has been seen.
        m_pSIPGroup->SetSTUNServer(i, "");
        if (CFG_GetValue(key, "Unknown").IsEmpty()) {
            seen = true;
            continue;
        }
        if (seen) break;
    }
}

void CKZSIPServer::ReadSettings() {
    m_pSIPGroup->SetSIPUserAgent(CFG_GetValue("kzsrv.sip.user.agent", "Zelmar-SIP-SDK").c_str());
    m_pSIPGroup->SetUseNATAddr(flag("kzsrv.sip.use.nat.addr", 0));
    m_pSIPGroup->SetUsePublicIPInRTP(CFG_GetValue("kzsrv.sip.public.ip.in.rtp", "").c_str());

    m_outbound_via_type = CFG_GetIntValue("kzsrv.sip.outbound.via.type", 0);
    KZAPI::str_cpy(m_outbound_via_proxy, CFG_GetValue("kzsrv.sip.outbound.via.proxy", "").c_str(),
                   sizeof(m_outbound_via_proxy));
    ParseCodecList(CFG_GetValue("kzsrv.sip.prefered.codec", "102,104,103,3,0,8").c_str(), m_codecs,
                   kMaxCodecs);
    ParseCodecList(CFG_GetValue("kzsrv.sip.prefered.video.codec", "34,124,115").c_str(), m_video_codecs,
                   kMaxCodecs);

    m_amr_mode = CFG_GetIntValue("kzsrv.sip.codec.amr.mode", 0);
    m_amr_dtx = CFG_GetIntValue("kzsrv.sip.codec.amr.dtx", 0);
    m_vad = flag("kzsrv.sip.vad.enabled", 0);
    EnableEchoCan(CFG_GetIntValue("kzsrv.sip.echo.can.enabled", 3));
    m_denoise = flag("kzsrv.sip.denoise.enabled", 1);
    m_agc = flag("kzsrv.sip.agc.enabled", 0);
    m_dx_on_session_progress = flag("kzsrv.sip.dx.session.progress", 0);

    m_app_type = CFG_GetIntValue("kzsrv.sip.server.model", 1);
    const bool server_mode = IsSIPServerModel();
    m_jb_min_delay = CFG_GetIntValue("kzsrv.sip.jb.min.delay", 2);
    m_jb_max_delay = CFG_GetIntValue("kzsrv.sip.jb.max.delay", server_mode ? 25 : 10);
    m_jb_adaptive = flag("kzsrv.sip.jb.adaptive", 0) != 0;
    m_jb_get_all_data = flag("kzsrv.sip.jb.get.all.data", server_mode ? 0 : 1) != 0;
    if (m_app_type == 0) GetDXSound(true, true);

    m_on_rtp_packet = flag("kzsrv.sip.on.rtp.packet", 0);
    m_on_dx_audio = flag("kzsrv.sip.on.dx.audio", 0);
    m_srtp_type = CFG_GetIntValue("kzsrv.srtp.type", 1);
    m_on_in_vad = flag("kzsrv.sip.on.in.vad", 0);
    m_on_out_vad = flag("kzsrv.sip.on.out.vad", 0);
    m_dtmf_type = CFG_GetIntValue("kzsrv.sip.dtmf.method", 3);
    m_no_audio_duration = CFG_GetIntValue("kzsrv.sip.no.audio.duration", 2000);
    m_sound_detect_db = CFG_GetIntValue("kzsrv.human.detect.max.db.level", 20);
    m_sound_detect_avg = CFG_GetIntValue("kzsrv.human.detect.max.sound.level", 100);
    m_speex_complexity = CFG_GetIntValue("kzsrv.sip.speex.complexity", 3);
    m_speex_quality = CFG_GetIntValue("kzsrv.sip.speex.quality", 8);
    m_dyn_map_rtp = flag("kzsrv.sip.dyn.map.rtp", 1);
    m_dyn_check_remote_rtp = flag("kzsrv.sip.dyn.check.remote.rtp", 1);
    m_use_prefer_codec_in_ok = flag("kzsrv.sip.use.prefer.codec.in.ok", 0);
    m_default_dtmf_payload = CFG_GetIntValue("kzsrv.sip.default.dtmf.payload", 101);
    m_rtp_poll = flag("kzsrv.sip.rtp.poll", 1);
    m_max_proxy_reg_expire = CFG_GetIntValue("kzsrv.sip.proxy.max.user.reg.expire", 3600);
    m_keep_alive = flag("kzsrv.sip.keep.alive.msg", 1);
    m_remote_contact_from_ring = flag("kzsrv.sip.get.remote.contact.from.ring", 0);
    m_totag_from_ring_for_cancel = flag("kzsrv.sip.get.totag.from.ring.for.cancel", 1);
    m_use_prack = flag("kzsrv.sip.use.prack", 0);
}

void CKZSIPServer::EnableVAD(bool on) {
    m_vad = on ? 1 : 0;
    CFG_SetValue("kzsrv.sip.vad.enabled", on ? "1" : "0");
}

void CKZSIPServer::EnableDenoise(bool on) {
    m_denoise = on ? 1 : 0;
    CFG_SetValue("kzsrv.sip.denoise.enabled", on ? "1" : "0");
}

void CKZSIPServer::EnableAGC(bool on) {
    m_agc = on ? 1 : 0;
    CFG_SetValue("kzsrv.sip.agc.enabled", on ? "1" : "0");
}
