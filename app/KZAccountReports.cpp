#include "app/KZAccountReports.h"

namespace kzapp {

namespace {

// The text as the network gave it, cut to a length any client can take in one event.
std::string bounded(const char* text, size_t limit = KZAccountReports::kMaxText) {
    if (!text) return "";
    std::string s(text);
    if (s.size() > limit) s.resize(limit);
    return s;
}

// For the printed line only: one line, whatever the text holds.
std::string one_line(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return text;
}

} // namespace

void KZAccountReports::Emit(const KZJson& event, const std::string& line) {
    if (m_outputs.print) m_outputs.print("kzhost: " + one_line(line));
    if (m_outputs.publish) m_outputs.publish(event);
}

void KZAccountReports::PublishRegistration(int account, const char* state, int code, const char* reason,
                                           int seconds) {
    if (m_outputs.publish)
        m_outputs.publish(KZJson{{"event", "registration"},
                                 {"account", account + 1},
                                 {"state", state},
                                 {"code", code},
                                 {"reason", bounded(reason)},
                                 {"seconds", seconds}});
}

void KZAccountReports::Send_RegStatus(int account, int registered, int seconds) {
    const std::string number = std::to_string(account + 1);
    if (m_outputs.print)
        m_outputs.print(registered ? "kzhost: account " + number + " registered for " +
                                         std::to_string(seconds) + " s"
                                   : "kzhost: account " + number + " unregistered");
    PublishRegistration(account, registered ? "registered" : "unregistered", registered ? 200 : 0,
                        registered ? "OK" : "", seconds);
}

void KZAccountReports::Send_RegFailure(int account, int code, const char* reason) {
    if (m_outputs.print)
        m_outputs.print("kzhost: account " + std::to_string(account + 1) + " failed " + std::to_string(code) +
                        " " + one_line(bounded(reason)));
    PublishRegistration(account, "failed", code, reason, 0);
}

void KZAccountReports::Send_SubscribeStatus(int account, int subscribed, int seconds) {
    const std::string number = std::to_string(account + 1);
    Emit({{"event", "subscription"},
          {"account", account + 1},
          {"subscribed", subscribed != 0},
          {"seconds", seconds}},
         subscribed ? "account " + number + " subscription active " + std::to_string(seconds) + " s"
                    : "account " + number + " subscription ended");
}

void KZAccountReports::Send_MessageTextDelivered(int id, int code, const char* reason) {
    const std::string text = bounded(reason);
    Emit({{"event", "message-delivered"}, {"message", id}, {"code", code}, {"reason", text}},
         "message " + std::to_string(id) + (code >= 200 && code < 300 ? " delivered " : " failed ") +
             std::to_string(code) + " " + text);
}

void KZAccountReports::Send_NotifySimpleMessageSummary(const char* waiting, const char* account,
                                                       const char* voice) {
    const std::string w = bounded(waiting), uri = bounded(account), v = bounded(voice);
    Emit({{"event", "notify"},
          {"event_package", "message-summary"},
          {"waiting", w},
          {"voice", v},
          {"account_uri", uri}},
         "messages waiting " + w + (uri.empty() ? "" : " for " + uri) + (v.empty() ? "" : " voice " + v));
}

void KZAccountReports::FireOn_Notify(int account, const char* to, const char* event, const char* state,
                                     const char* content_type, const char* body) {
    KZJson notice = {{"event", "notify"}};
    if (account >= 0) notice["account"] = account + 1;
    notice["to"] = bounded(to);
    notice["event_package"] = bounded(event);
    notice["state"] = bounded(state);
    notice["content_type"] = bounded(content_type);
    notice["body"] = bounded(body);
    const std::string whose = account >= 0 ? "account " + std::to_string(account + 1) : bounded(to);
    Emit(notice, whose + " notify " + bounded(event, 64) + " " + bounded(state, 64));
}

void KZAccountReports::FireOn_Message(int channel, const char* from, const char* to, const char* uri,
                                      const char* text) {
    KZJson message = {{"event", "message"}};
    if (channel >= 0) message["channel"] = channel;
    const std::string sender = bounded(from), body = bounded(text);
    message["from"] = sender;
    message["to"] = bounded(to);
    message["uri"] = bounded(uri);
    message["text"] = body;
    Emit(message, "message from " + sender + ": " + body);
}

void KZAccountReports::FireOn_ProxyUserRegistered(int site, const char* user, int seconds,
                                                  const char* contact, const char* source_address,
                                                  uint16_t source_port, int channel) {
    const std::string name = bounded(user), where = bounded(contact);
    if (m_outputs.user_registration) m_outputs.user_registration(site, name, seconds, where);
    if (seconds <= 0) {
        Emit({{"event", "user-unregistered"}, {"site", site + 1}, {"user", name}},
             "user " + name + " of site " + std::to_string(site + 1) + " unregistered");
        return;
    }
    Emit({{"event", "user-registered"},
          {"site", site + 1},
          {"user", name},
          {"seconds", seconds},
          {"contact", where},
          {"source", bounded(source_address) + ":" + std::to_string(source_port)},
          {"channel", channel}},
         "user " + name + " of site " + std::to_string(site + 1) + " registered for " +
             std::to_string(seconds) + " s at " + where);
}

std::optional<std::string> KZAccountReports::On_ProxyNewCallSession(const ProxySessionReport& call,
                                                                    const char* source_address,
                                                                    uint16_t source_port, const char* user,
                                                                    bool authenticated) {
    if (!m_outputs.sessions) return std::nullopt;
    return m_outputs.sessions->OnNewCall(call, source_address, source_port, user, authenticated);
}

void KZAccountReports::FireOn_ProxyCallSessionStatus(const ProxySessionReport& session) {
    if (m_outputs.sessions) m_outputs.sessions->OnStatus(session);
}

void KZAccountReports::FireOn_ProxyCallSessionEnd(const ProxySessionReport& session, int code,
                                                  const char* reason) {
    if (m_outputs.sessions) m_outputs.sessions->OnEnd(session, code, reason);
}

} // namespace kzapp
