// Inside an established call: re-INVITEs from the remote, hold, transfer and redirection.
#include "callcontrol/CKZSIPAPICC.h"

#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/CKZServer.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "sipmsg/kz_sip_defs.h"

#include <string>

using KZAPI::CKZLogInterface;

// ---- media changes within the call ----

unsigned CKZSIPAPICC::OnReInvite(CKZSIPGroup* group) {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (!m_cur_msg) return 0;
    char value[CKZSIPGroup::kIEBufferSize] = "";
    int direction = RTP_SENDRECV;
    // A fax (image) offer leaves the audio as it is.
    if (!ReadCurIE(KZ_IE_SIP_IMAGE_PAYLOAD, value)) {
        if (m_media->GetPayloadTypesCount(*m_cur_msg) == 0) {
            // No offer: the 200 carries ours and the ACK brings the answer.
            m_rtp_direction = direction = RTP_NO_MEDIA;
            if (!IsBridged() && GetProxyRelatedChanID() < 0) CloseRTPSocket();
        } else {
            TakeRemoteDTMFAndVAD(false);
            // Bridged and relayed calls carry no media of their own: only the record changes.
            const MediaUpdate update =
                IsBridged() || GetProxyRelatedChanID() >= 0 ? MediaUpdate::StoreOnly : MediaUpdate::Refresh;
            if (TakePeerMedia(SDPKind::Offer, update, true) == MediaResult::Unusable) {
                if (group) group->SIP_Send4xx(m_cur_msg.get(), GetSIPConnID(), "488", "Not Acceptable Here");
                return 0;
            }
            direction = m_rtp_direction;
        }
    }
    if (ReadCurIE(KZ_IE_SIP_CONTACT, value)) SmartlyDecideRemoteContactID(value);
    char from[CKZSIPGroup::kIEBufferSize] = "", to[CKZSIPGroup::kIEBufferSize] = "",
         call_id[CKZSIPGroup::kIEBufferSize] = "", via[CKZSIPGroup::kIEBufferSize] = "";
    ReadCurIE(KZ_IE_SIP_FROM, from);
    ReadCurIE(KZ_IE_SIP_TO, to);
    ReadCurIE(KZ_IE_SIP_CALLID, call_id);
    ReadCurIE(KZ_IE_SIP_VIA_ADDRESS, via);
    if (SendSIPResponseMsg(m_cur_msg.get(), 200, "OK", via, call_id, to, from, m_local_contact, 1,
                           direction) != 0) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_ERROR,
            "Error: Failed to send SIP 'Ok' message when received a re-invite message for holding!");
        return 0;
    }
    ReportReInviteStatus(direction);
    return 1;
}

void CKZSIPAPICC::ReportReInviteStatus(int direction) {
    const bool hold = direction == RTP_SENDONLY || direction == RTP_RECVONLY;
    if (GetSIPStatus() == SIP_CALL_REMOTE_HELD) {
        SetSIPStatus(direction >= RTP_SENDONLY ? SIP_CALL_REMOTE_HOLD_ACCEPTED
                                               : SIP_CALL_REMOTE_UNHOLD_ACCEPTED);
        return;
    }
    if (hold) {
        if (GetSIPStatus() == SIP_CALL_HELD) OnCallHolding(0);
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Call holding ok!");
        SetSIPStatus(SIP_CALL_REMOTE_HOLD_ACCEPTED);
        return;
    }
    OnCallHolding(0);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Call reinviting ok!");
    SetSIPStatus(SIP_CALL_REINVITE_ACCEPTED);
}

unsigned CKZSIPAPICC::OnSDPChangeOK(CKZSIPGroup* group) {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (!m_cur_msg) return 0;
    const MediaUpdate update =
        IsBridged() || GetProxyRelatedChanID() >= 0 ? MediaUpdate::StoreOnly : MediaUpdate::Refresh;
    if (TakePeerMedia(SDPKind::Answer, update, true) == MediaResult::Unusable) {
        if (group) group->SIP_Send4xx(m_cur_msg.get(), GetSIPConnID(), "488", "Not Acceptable Here");
        return 0;
    }
    TakeRemoteDTMFAndVAD(false);
    return 1;
}

unsigned CKZSIPAPICC::OnSDPChangeAck(CKZSIPGroup*) {
    KZAPI::CMutexLock lock(GetCallMutex());
    // Only a 200 that carried this side's offer waits for an answer in the ACK.
    if (m_rtp_direction != RTP_NO_MEDIA || !m_cur_msg) return 1;
    TakeRemoteDTMFAndVAD(false);
    const MediaUpdate update =
        IsBridged() || GetProxyRelatedChanID() >= 0 ? MediaUpdate::StoreOnly : MediaUpdate::Reopen;
    return TakePeerMedia(SDPKind::Answer, update, false) == MediaResult::Taken ? 1 : 0;
}

// ---- hold ----

unsigned CKZSIPAPICC::Hold() {
    return 0;
}

unsigned CKZSIPAPICC::OnCallHolding(int) {
    return 0;
}

// ---- transfer ----

unsigned CKZSIPAPICC::TransferTo(const char*, int) {
    return 0;
}

unsigned CKZSIPAPICC::RedirectTo(const char*, const char*, const char*) {
    return 0;
}

unsigned CKZSIPAPICC::OnRefer(CKZSIPGroup*) {
    return 0;
}

unsigned CKZSIPAPICC::OnReferNotify(CKZSIPGroup*) {
    return 0;
}

// Places the call a release left pending: a followed redirection or a received REFER. Auto-transfer
// 1 places it from this channel, 2 from an idle one whose call reports back through DoTransfer2.
unsigned CKZSIPAPICC::DoTransfer() {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (m_refer_to[0] == '\0') return 0;
    const std::string source = m_transfer_source, target = m_refer_to;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::DoTransfer %s -> %s (auto transfer %d)",
                         source.c_str(), target.c_str(), GetAutoTransfer());
    unsigned placed = 0;
    if (GetAutoTransfer() == 1) {
        placed = SetupCall(source.c_str(), target.c_str());
    } else if (GetAutoTransfer() == 2) {
        CKZSIPAPICC* other = IdleTransferCallControl();
        if (other) {
            other->SetOrgTransferChanCallControl(this);
            placed = other->SetupCall(source.c_str(), target.c_str());
        }
    }
    m_refer_to[0] = m_transfer_source[0] = m_refer_contact[0] = '\0';
    m_replaces_call_id[0] = m_replaces_from_tag[0] = m_replaces_to_tag[0] = '\0';
    m_org_transfer_cc = nullptr;
    return placed;
}

CKZSIPAPICC* CKZSIPAPICC::IdleTransferCallControl() {
    KZAPI::CKZServer* server = KZAPI::CKZServer::GetServerObj();
    KZAPI::CKZChannel* channel =
        server ? server->GetIdleChannel(KIND_SIP, KZAPI::CKZChannel::DIRECTION_OUT) : nullptr;
    return channel ? dynamic_cast<CKZSIPAPICC*>(channel->GetCallControl()) : nullptr;
}

unsigned CKZSIPAPICC::DoTransfer2(CKZSIPGroup*, int) {
    return 0;
}

unsigned CKZSIPAPICC::SendSIPRefer(CKZSIPGroup*, const char*, int) {
    return 0;
}

unsigned CKZSIPAPICC::SendSIPTransferNotify(CKZSIPGroup*, const char*, const char*, const char*, const char*,
                                            const char*) {
    return 0;
}
