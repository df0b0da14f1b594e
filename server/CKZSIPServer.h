// CKZSIPServer: the module's server. It reads the settings, owns the one SIP group through which
// all SIP traffic flows, the accounts and the proxy sites, and runs the module's main loop on the
// host's server thread: drain the stack's events into the event handler, and once a second drive
// the registration, subscription and proxy timers.
#pragma once

#include "host/CKZClock.h"
#include "host/CKZServer.h"
#include "host/CMutex.h"
#include "host/KZRange.h"
#include "server/CKZSIPProxySiteI.h"
#include "server/KZAPIExLibrary.h"
#include "server/SIPMessagePtr.h"
#include "server/kz_sip_message_text_item.h"
#include "server/kz_sip_user_reg_profile.h"
#include "sipmsg/kz_sip_export.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace KZAPI {
class CKZDxDSP;
}
class CKZDXSoundApp;
class CKZSIPGroup;
class CKZSIPEventHandler;
class CKZSIPProxySession;
class sip_msg;
struct KZSIPEvent;
struct kz_sip_user_reg_profile;

class KZSIPAPI_EXPORT CKZSIPServer : public KZAPI::CKZServer {
public:
    // Results of the host-facing operations.
    static constexpr unsigned kHostSuccess = 1;
    static constexpr unsigned kHostFailure = 0;
    static constexpr int kMaxCodecs = 50;
    static constexpr size_t kSwitchPortTextSize = 512;

    CKZSIPServer();
    ~CKZSIPServer() override;

    // Host lifecycle: Create reads the settings and builds the group, Start opens the stack and
    // runs the loop, Stop unregisters and closes, Destroy releases everything.
    unsigned Create() override;
    unsigned Start() override;
    unsigned Stop() override;
    unsigned Destroy() override;

    virtual uint32_t GetDetectedNATType();
    virtual const char* GetMappedPublicSIPIPAddress();
    virtual unsigned short GetMappedPublicSIPIPPort();
    virtual void* CreateCameraWindow() { return nullptr; }
    virtual void ShowCameraWindow() {}
    virtual void CloseCameraWindow() {}
    virtual int GetNumOfBoards() { return 0; }
    virtual int GetNumOfSIPBoards();
    virtual int SetIPFilter(const char* text, int kind, int mode);
    virtual int GetIPFilterCount(int kind);
    virtual const char* GetIPFilterItem(int kind, int index);
    virtual unsigned InitProxySitesInfo();
    virtual unsigned FreeProxySitesInfo();
    virtual unsigned OpenSIP();
    virtual unsigned CloseSIP();

    // The local sound device: one per process, made on first need (and at Create in client
    // mode), serialised under the sound-device lock.
    void* GetDXSound(bool create) override;
    virtual CKZDXSoundApp* GetDXSound(bool create, bool start);
    virtual void FreeDXSound();
    unsigned StartDXAudio(KZAPI::CKZChannel* channel) override;
    unsigned StopDXAudio(KZAPI::CKZChannel* channel) override;
    bool IsDXAudioOpen(KZAPI::CKZChannel* channel) override;
    // Takes every channel off the device and makes the device anew (after a device change).
    virtual unsigned ResetDXAudio();
    unsigned MuteDXAudioMic(bool mute) override;
    bool GetDXAudioMicMute() override;
    void GetDXPlayAndRecordBufLen(int& play_ms, int& record_ms) const;
    static int GetDXCaptureAGCLevel();
    static int GetDXPlayAGCLevel();

    CKZSIPGroup* GetSIPGroup() const { return m_pSIPGroup.get(); }
    KZAPI::CKZChannel* GetChannelBySIPConnID(uint32_t connection) const;
    KZAPI::CKZChannel* GetChannelBySIPCallID(const char* call_id) const;
    bool IsStarted() const { return m_started.load() != 0; }
    // The clock of the once-a-second checks (tests replace it); null restores the system clock.
    void SetClock(KZAPI::CKZClock* clock) { m_clock = clock ? clock : &KZAPI::CKZClock::System(); }
    int64_t NowSeconds() const { return m_clock->NowSeconds(); }

    // RTP ports and UDP switch groups.
    const KZAPI::KZRange& GetRTPRange() const { return m_rtp_range; }
    int GetRTPPortSpace() const { return m_rtp_port_space; }
    const char* GetUDPSwitchPortList() const { return m_switch_port_text; }
    int GetUDPSwitchGroupCount() const { return static_cast<int>(m_switch_in_use.size()); }
    // Reserves the lowest free switch group and hands out its two ports; -1 when none is free.
    // What InitUDPSwitchPort gives when no switch group is free (or there are none).
    static constexpr int kNoSwitchGroup = -1;
    int InitUDPSwitchPort(unsigned short& port1, unsigned short& port2);
    void FreeUDPSwitchPort(int index);
    // The two sides of a switch group: the first port's side and the second port's.
    enum SwitchSide : int { SWITCH_SIDE_FIRST = 0, SWITCH_SIDE_SECOND = 1 };
    // Where the relay sends what arrives for one side of a reserved group (an empty address lets
    // that side latch onto the source of its packets again); false for an unknown group.
    bool SetUDPSwitchPortPeer(int index, int side, const char* address, uint16_t port);
    // Lays out n switch groups after the blocks of channel_count channels (see Start).
    void BuildUDPSwitchPorts(int n, int channel_count);

    // Accounts: loaded from the settings or added at run time, registered by the timer pass.
    // Fields of SIPAccount_Get and SIPAccount_Set.
    enum AccountField : int {
        ACCOUNT_DISPLAY_NAME = 0,
        ACCOUNT_USER_NAME,
        ACCOUNT_DOMAIN,
        ACCOUNT_PROXY,
        ACCOUNT_AUTHORIZATION_USER,
        ACCOUNT_PASSWORD,
        ACCOUNT_USER_ID,
        ACCOUNT_TRANSPORT,
        ACCOUNT_SRTP,
    };
    // Modes of GetUserRegProfile(domain, user, mode).
    enum AccountLookup : int { LOOKUP_ANY = 0, LOOKUP_NOT_REGISTERING = 1, LOOKUP_REGISTERING = 2 };
    static constexpr uint32_t kNotHandled = 0xFFFFFFFF;

    int InitUserRegInfo();
    int FreeUserRegInfo();
    int GetUserRegProfileCount() const;
    kz_sip_user_reg_profile* GetUserRegProfile(int index) const;
    kz_sip_user_reg_profile* GetUserRegProfile(const char* domain, const char* user, int mode) const;
    virtual unsigned GetRegStatus(int index, int* registered, int* seconds);
    virtual kz_sip_user_reg_profile* SIPAccount_Add(const char* display_name, const char* user_name,
                                                    const char* domain, const char* proxy,
                                                    const char* authorization_user, const char* password,
                                                    int lifetime, int register_flag, int max_calls,
                                                    int retry_interval, int enabled, int protocol);
    virtual unsigned SIPAccount_Remove(kz_sip_user_reg_profile* handle);
    virtual int SIPAccount_Count();
    virtual int SIPAccount_Index(const kz_sip_user_reg_profile* handle);
    virtual kz_sip_user_reg_profile* SIPAccount_Handle(int index);
    virtual const char* SIPAccount_Get(int index, int field);
    virtual unsigned SIPAccount_Set(int index, int field, const char* text);
    virtual unsigned SIPAccount_Enable(kz_sip_user_reg_profile* handle, int on);
    virtual unsigned SIPAccount_Register(int index, int on);
    // 0 for an unknown index; 1 otherwise (an Expires 0 REGISTER goes out when registered).
    int UnregisterUser(int index);
    // Unregisters every registered account; the number of REGISTERs sent.
    int UnregisterUsers();
    // Once a second: first REGISTERs, refreshes, retries and keep-alive packets.
    void CheckUsersRegStatus(int64_t now);
    // A fresh REGISTER of the account; 1 when it left.
    int SendRegister1(int64_t now, int index);
    // The REGISTER answering a 401 or 407 challenge; 1 when it left.
    int SendRegister2(int64_t now, int index, sip_msg* challenge, const char* received_address,
                      uint16_t received_port);
    // Responses to the server's own requests (0 when one was ours, else kNotHandled).
    uint32_t OnOK(uint32_t connection, sip_msg* response);
    uint32_t OnUnauthorized(uint32_t connection, sip_msg* response, const char* received_address,
                            uint16_t received_port);
    uint32_t OnSIPError(uint32_t connection, sip_msg* response, const KZSIPEvent* event);
    // Subscriptions of registered accounts to other parties' presence or dialog state.
    // Adds one to the account (kind 1 dialog, else presence); false for an unknown account.
    // Virtual so that a host that loads the module at run time can reach them.
    virtual bool AddSubscription(int index, const char* address, int lifetime, int event_kind);
    virtual bool RemoveSubscription(int index, const char* address);
    // Once a second: first SUBSCRIBEs, retries and refreshes; MESSAGEs left unanswered too long.
    void CheckUsersSubscribeStatus(int64_t now);
    int SendSubScribe1(kz_sip_user_subscribe_item& item, int64_t now, int index);
    int SendSubScribe2(kz_sip_user_subscribe_item& item, int64_t now, int index, sip_msg* challenge);
    // Text messages: the outcome of each is reported with Send_MessageTextDelivered(id, ...).
    virtual unsigned SendMessageText(int id, const char* from, const char* to, const char* text);
    unsigned SendMessageText1(int id, const char* from, const char* to, const char* text);
    // The MESSAGE again with credentials for the challenge; 0 when it left.
    int SendMessageText2(kz_sip_message_text_item& item, sip_msg* challenge);
    int GetMessageTextCount() const;
    // Local time as "YYYY-MM-DD hh:mm:ss" and back.
    static int64_t ConvertMySQLTimeStampToUnixTime(const char* text);
    static void ConvertUnixTimeToMySQLTimeStamp(int64_t time, char* buffer, size_t size);
    // Whether a registration made at `time` for `expires` seconds still counts now.
    static bool IsUserRegistered(int64_t time, int expires);
    static bool IsUserRegistered(const char* timestamp, const char* expires);

    // Proxy sites (server mode).
    int ProxySitesCount() const;
    CKZSIPProxySiteI* GetProxySite(int index) const;
    CKZSIPProxySiteI* GetProxySiteByDomain(const char* domain, const char* alternative) const;
    int GetMaxProxyUserRegExpireSec() const { return m_max_proxy_reg_expire; }
    // 1 when a site claims the message for one of its users, else 0.
    unsigned CheckOKForProxyUser(sip_msg* message);
    // The proxied call session that owns the stack connection, or null.
    CKZSIPProxySession* GetProxySessionByConnID(uint32_t connection) const;
    virtual unsigned ProxySetNewCallSessionAddr(int site, uint32_t connection, const char* address);
    virtual unsigned ProxyConnectCallSessions(int site, uint32_t connection1, int leg1, int site2,
                                              uint32_t connection2, int leg2);
    // The application's operations on the users of site `site` (0-based); 0 for an unknown site.
    // A user is added or changed by ProxySetUserInfo (in_use 0 takes it out of service).
    virtual unsigned ProxySetUserInfo(int site, const char* user, const char* password, int in_use);
    // Message waiting: the counters travel in the next message-summary NOTIFY to the user.
    virtual unsigned ProxySetUserMsg(int site, const char* user, int waiting, const char* account,
                                     int new_count, int old_count, int urgent_new, int urgent_old);
    virtual unsigned ProxyDisableAllUsers(int site);
    // 0 challenge with 407, 1 challenge with 401, 2 no authentication.
    virtual unsigned ProxySetUserAuthType(int site, const char* user, int type);
    // Tells the user's dialog watchers its new state (direction may be empty).
    virtual unsigned ProxyUpdateUserState(int site, const char* user, const char* direction,
                                          const char* state);
    // attr is a ProxyUserAttr; value its decimal text.
    virtual unsigned ProxySetUserAttr(int site, const char* user, int attr, const char* value);
    // Once a second: every site's message-waiting notices and reachability checks.
    void CheckProxyUserStatus(int64_t now);
    // Once a second: every site's proxied sessions (time-outs, destinations given meanwhile).
    void CheckProxySessionStatus(int64_t now);
    // Drives the proxied session owning the event's connection; false when none owns it.
    bool ProxySessionEvent(CKZSIPGroup* group, const KZSIPEvent* event);
    // Hands an unanswered incoming call to the proxy site serving its To (or Request-URI) host;
    // the site's result, or 0 when no site serves it or the INVITE lacks From, To or Request-URI.
    int Proxy_TransferCall(uint32_t connection, sip_msg* invite, CKZSIPGroup* group, const char* target,
                           const char* sender_address, uint16_t sender_port);

    // Vets a request for the proxy: 0 when it may go on, else a status code with its reason
    // written into reason (reason_size bytes).
    static int RequestValidation(sip_msg* message, char* reason, size_t reason_size);
    // Learns the public SIP address from a response to one of the server's own requests.
    void AdjustSIPandRTPIPAddress(CKZSIPGroup* group, const char* address, unsigned short port);

    // Settings.
    int GetSIPAppType() const { return m_app_type; }
    void SetSIPAppType(int type) { m_app_type = type; }
    bool IsSIPServerModel() const { return m_app_type >= 1; }
    bool IsDNSSrvEnabled() const { return m_enable_dns_srv != 0; }
    int GetMinInbandDTMFDuration() const { return m_min_inband_dtmf_dur; }
    int GetOutboundViaType() const { return m_outbound_via_type; }
    const char* GetOutboundViaProxy() const { return m_outbound_via_proxy; }
    const int* GetCodecsPreferList() const { return m_codecs; }
    const int* GetVideoCodecsPreferList() const { return m_video_codecs; }
    int GetAMRMode() const { return m_amr_mode; }
    int GetAMRDTX() const { return m_amr_dtx; }
    void EnableEchoCan(int value) { m_echo_can = value; }
    void EnableVAD(bool on);
    void EnableDenoise(bool on);
    void EnableAGC(bool on);
    int EchoCanEnabled() const { return m_echo_can; }
    bool VADEnabled() const { return m_vad != 0; }
    bool DenoiseEnabled() const { return m_denoise != 0; }
    bool AGCEnabled() const { return m_agc != 0; }
    bool GetOpenDXOnSessionProgress() const { return m_dx_on_session_progress != 0; }
    int GetJBMinDelay() const { return m_jb_min_delay; }
    int GetJBMaxDelay() const { return m_jb_max_delay; }
    bool GetJBAdaptive() const { return m_jb_adaptive; }
    bool GetJBGetAllData() const { return m_jb_get_all_data; }
    bool IsOnRTPPacket() const { return m_on_rtp_packet != 0; }
    bool IsOnDXAudio() const { return m_on_dx_audio != 0; }
    int GetSRTPType() const { return m_srtp_type; }
    bool IsOnInVAD() const { return m_on_in_vad != 0; }
    bool IsOnOutVAD() const { return m_on_out_vad != 0; }
    int GetDTMFType() const { return m_dtmf_type; }
    int GetRecvNoAudioDuration() const { return m_no_audio_duration; }
    int GetSoundDetectMaxDBLevel() const { return m_sound_detect_db; }
    int GetSoundDetectMaxAvgLevel() const { return m_sound_detect_avg; }
    int GetSpeexComplexity() const { return m_speex_complexity; }
    int GetSpeexQuality() const { return m_speex_quality; }
    bool GetDynMapRTPAddr() const { return m_dyn_map_rtp != 0; }
    bool GetDynCheckRemoteRTPAddr() const { return m_dyn_check_remote_rtp != 0; }
    bool GetUsePreferCodecInOK() const { return m_use_prefer_codec_in_ok != 0; }
    int GetDefaultDTMFPayload() const { return m_default_dtmf_payload; }
    bool GetUseRTPPoll() const { return m_rtp_poll != 0; }
    bool GetSendKeepAliveMsg() const { return m_keep_alive != 0; }
    bool GetRemoteContactAddrFromRing() const { return m_remote_contact_from_ring != 0; }
    bool GetToTagFromRingForCancel() const { return m_totag_from_ring_for_cancel != 0; }
    bool GetUsePRACK() const { return m_use_prack != 0; }

    // The SRTP extension library (its entry points are null when it is not available).
    const KZAPIExLibrary& GetExtensionLibrary() const { return m_extension; }

    // Splits a comma list of decimal payload numbers into list (at most max items, then -1).
    static void ParseCodecList(const char* text, int* list, int max);

protected:
    // Makes the site object for one configured proxy site (the type of site a server runs).
    virtual std::unique_ptr<CKZSIPProxySiteI> CreateProxySite(int number, std::vector<std::string> domains,
                                                              const CKZSIPProxySiteOptions& options);

    bool OnCreate() override;
    void DoUnblockedLoop() override;
    void OnQuit() override;

private:
    // Internal outcome of the start-up steps; OpenSIP turns it into the host's 1 or 0.
    enum class ServerStatus { Ok, Failed };
    ServerStatus OpenStackWithQueue(CKZSIPGroup& group);
    ServerStatus ConfigureStack(CKZSIPGroup& group);
    ServerStatus StartStack(CKZSIPGroup& group);

    void ReadStunServers();
    void ReadSettings();
    void StartUDPSwitchGroups();
    void StopUDPSwitchGroups();
    void RunPeriodicChecks(int64_t now);
    // Goes on with waiting proxied calls whose destination the application gave (server lock held).
    void ContinueGivenProxyDestinations();
    template <class Operation> unsigned WithProxySite(int site, Operation&& operation);

    // Registration helpers (server lock held).
    struct LocalContact {
        std::string address;
        int port = 0;
    };
    LocalContact RegisterLocalAddress(const kz_sip_user_reg_profile& account, bool prefer_received) const;
    SIPMessagePtr BuildRegister(kz_sip_user_reg_profile& account, const LocalContact& local, bool* complete);
    // The parts a REGISTER and a SUBSCRIBE of the account share: From, method, version, agent,
    // Max-Forwards, Via and transport, Contact (own_contact receives it without the user id).
    bool AddAccountRequestElements(sip_msg* message, const kz_sip_user_reg_profile& account,
                                   const LocalContact& local, const char* method, bool with_user_id,
                                   char* own_contact, size_t own_contact_size);
    SIPMessagePtr BuildSubscribe(kz_sip_user_reg_profile& account, const kz_sip_user_subscribe_item& item,
                                 bool* complete);
    int HandSubscribeToStack(int64_t now, kz_sip_user_reg_profile& account, kz_sip_user_subscribe_item& item,
                             SIPMessagePtr message, bool complete, int sent_state);
    uint32_t OnSubscriptionAnswer(uint32_t connection, sip_msg* response, bool challenged, bool failed);
    uint32_t OnMessageAnswer(uint32_t connection, sip_msg* response, const KZSIPEvent* event,
                             bool challenged);
    void ReportMessage(size_t position, int code, const char* reason);
    int HandRegisterToStack(int64_t now, kz_sip_user_reg_profile& account, SIPMessagePtr message,
                            bool complete, int sent_state, bool log_destination);
    void SendKeepAlive(int64_t now, kz_sip_user_reg_profile& account);
    void ApplyDNSSrv(kz_sip_user_reg_profile& account) const;
    void RegistrationFailed(int index, int code, const char* reason);
    int AccountIndexByConnection(uint32_t connection) const;
    std::unique_ptr<kz_sip_user_reg_profile> NewAccount(int retry_interval) const;
    void AddConfiguredSubscriptions(kz_sip_user_reg_profile& account, int number);
    // A MESSAGE left unanswered this long is reported 408.
    static constexpr int64_t kMessageTimeoutSeconds = 10;

    std::unique_ptr<CKZSIPGroup> m_pSIPGroup;
    CKZSIPEventHandler* m_event_handler = nullptr;
    std::atomic<unsigned> m_started{0};
    int64_t m_last_check_second = 0;
    // Set when the application gave a waiting proxied call its destination: the loop goes on
    // with it on its next pass rather than at the next second.
    std::atomic<bool> m_proxy_destination_given{false};
    KZAPI::CKZClock* m_clock = &KZAPI::CKZClock::System();

    KZAPI::KZRange m_rtp_range;
    KZAPI::CMutex m_switch_mutex;
    std::vector<unsigned short> m_switch_ports;
    std::vector<uint8_t> m_switch_in_use;
    std::vector<int> m_switch_relay_groups;
    // The relay items of each switch group: the item receiving on the group's first port, then
    // the one on its second.
    std::vector<std::pair<int, int>> m_switch_relay_items;
    char m_switch_port_text[kSwitchPortTextSize] = "";
    std::string m_ip_filter_item;                                 // the text GetIPFilterItem returns
    char m_account_text[kz_sip_user_reg_profile::kTextSize] = ""; // the text SIPAccount_Get returns

    std::vector<std::unique_ptr<kz_sip_user_reg_profile>> m_accounts;
    std::vector<std::unique_ptr<kz_sip_message_text_item>> m_messages;
    std::vector<std::unique_ptr<CKZSIPProxySiteI>> m_proxy_sites;

    int m_enable_dns_srv = 0;
    int m_rtp_port_space = 4;
    int m_min_inband_dtmf_dur = 120;
    int m_outbound_via_type = 0;
    char m_outbound_via_proxy[256] = "";
    int m_codecs[kMaxCodecs + 1];
    int m_video_codecs[kMaxCodecs + 1];
    int m_amr_mode = 0;
    int m_amr_dtx = 0;
    int m_vad = 1;
    int m_echo_can = 1;
    int m_denoise = 1;
    int m_agc = 0;
    int m_dx_on_session_progress = 0;
    int m_app_type = 1;
    int m_jb_min_delay = 0;
    int m_jb_max_delay = 10;
    bool m_jb_adaptive = false;
    bool m_jb_get_all_data = true;
    int m_on_rtp_packet = 0;
    int m_on_dx_audio = 0;
    int m_srtp_type = 1;
    int m_on_in_vad = 0;
    int m_on_out_vad = 0;
    int m_dtmf_type = 0;
    int m_no_audio_duration = 2000;
    int m_sound_detect_db = 20;
    int m_sound_detect_avg = 500;
    int m_speex_complexity = 3;
    int m_speex_quality = 8;
    int m_dyn_map_rtp = 1;
    int m_dyn_check_remote_rtp = 1;
    int m_use_prefer_codec_in_ok = 0;
    int m_default_dtmf_payload = 101;
    int m_rtp_poll = 1;
    int m_max_proxy_reg_expire = 3600;
    int m_keep_alive = 1;
    int m_remote_contact_from_ring = 0;
    int m_totag_from_ring_for_cancel = 1;
    int m_use_prack = 0;

    KZAPIExLibrary m_extension;
    // The sound device: its DSP, and the application on it (destroyed in that order's reverse).
    std::unique_ptr<KZAPI::CKZDxDSP> m_dx_dsp;
    std::unique_ptr<CKZDXSoundApp> m_dx_sound;
};
