#include "app/KZSoundCommands.h"

#include "host/CKZCall.h"
#include "host/CKZChannel.h"
#include "host/KZSoundDevice.h"

namespace kzapp {

namespace {

KZJson device_list(const std::vector<KZSoundDevice>& devices) {
    KZJson list = KZJson::array();
    for (const KZSoundDevice& device : devices)
        list.push_back({{"index", device.index}, {"name", device.name}});
    return list;
}

std::vector<KZSoundDevice> host_devices(bool capture) {
    std::vector<KZSoundDevice> devices;
    for (const KZAPI::KZSoundDeviceInfo& info : KZAPI::KZ_SoundDeviceList(capture))
        devices.push_back({info.index, info.name});
    return devices;
}

} // namespace

bool is_sound_command(const std::string& name) {
    return name == "sound-open" || name == "sound-close" || name == "mute" || name == "devices";
}

KZJson run_sound_command(IKZSoundCommands* sound, const std::string& name, const KZJson& command) {
    if (!sound) return error_event("the sound device is not available");
    if (name == "devices") {
        const KZSoundDeviceLists lists = sound->Devices();
        return {{"event", "devices"},
                {"playback", device_list(lists.playback)},
                {"capture", device_list(lists.capture)}};
    }
    if (name == "mute") {
        const bool on = command["on"].get<bool>();
        const KZCallOutcome outcome = sound->Mute(on);
        if (!outcome.accepted) return error_event(outcome.reason);
        return {{"event", "mute"}, {"on", on}};
    }
    const int channel = command["channel"].get<int>();
    const bool open = name == "sound-open";
    const KZCallOutcome outcome = open ? sound->Open(channel) : sound->Close(channel);
    if (!outcome.accepted) return error_event(outcome.reason);
    return {{"event", open ? "sound-opened" : "sound-closed"}, {"channel", channel}};
}

KZAPI::CKZChannel* KZHostSound::FindChannel(int number) const {
    KZAPI::CMutexLock lock(m_server.GetServerMutex());
    for (int i = 0; i < m_server.GetNumOfChannels(); ++i) {
        KZAPI::CKZChannel* channel = m_server.GetChannel(i);
        if (channel && channel->GetChannelNumber() == number && channel->GetCallControl()) return channel;
    }
    return nullptr;
}

KZCallOutcome KZHostSound::Open(int number) {
    KZAPI::CKZChannel* channel = FindChannel(number);
    if (!channel) return KZCallOutcome::Refused("no channel " + std::to_string(number));
    if (channel->IsIdle())
        return KZCallOutcome::Refused("channel " + std::to_string(number) + " has no call");
    if (m_server.IsDXAudioOpen(channel))
        return KZCallOutcome::Refused("channel " + std::to_string(number) +
                                      " is already on the sound device");
    if (!m_server.StartDXAudio(channel)) return KZCallOutcome::Refused("the sound device cannot be opened");
    return KZCallOutcome::Accepted(number);
}

KZCallOutcome KZHostSound::Close(int number) {
    KZAPI::CKZChannel* channel = FindChannel(number);
    if (!channel) return KZCallOutcome::Refused("no channel " + std::to_string(number));
    if (!m_server.StopDXAudio(channel))
        return KZCallOutcome::Refused("channel " + std::to_string(number) + " is not on the sound device");
    return KZCallOutcome::Accepted(number);
}

KZCallOutcome KZHostSound::Mute(bool on) {
    if (!m_server.MuteDXAudioMic(on)) return KZCallOutcome::Refused("the sound device is not open");
    return KZCallOutcome::Accepted(-1);
}

KZSoundDeviceLists KZHostSound::Devices() {
    return {host_devices(false), host_devices(true)};
}

} // namespace kzapp
