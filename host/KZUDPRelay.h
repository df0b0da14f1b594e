// The host's UDP relay service: RTP relayed between two remote parties without touching the media.
//
// A relay group joins at most two items. Each item owns a UDP socket bound to its local address
// and port and stands for one leg: a datagram arriving on one item's socket is sent out of the
// other item's socket to that item's remote. An item's remote is the address set for it (the peer
// given when it was added, replaced by KZ_SetUDPRelayGroupItemSrc); while none is set it is the
// address the item last received from (symmetric latching, which lets parties behind NAT be
// reached where they send from). A group of one item only latches.
//
// When an item has an SSRC, RTP packets sent out of it carry that SSRC, so its remote party keeps
// seeing the stream it knew. An item's DTMF payload type marks its telephone-event packets: they
// are relayed like any packet and, when the item has a channel, also handed to the packet sink.
//
// One thread serves every socket. All functions are thread-safe. Handles are positive numbers that
// are never handed out twice in a process, so a stale handle only fails.
#pragma once

#include <cstdint>

namespace KZAPI {

class CKZChannel;

inline constexpr int KZ_RELAY_INVALID_HANDLE = -1;

// Starts the relay thread; true when it runs (also when it already ran).
bool KZ_StartUDPRelayServer();
// Stops the thread and closes every group. The service can be started again.
void KZ_StopUDPRelayServer();
bool KZ_IsUDPRelayServerRunning();

// A new, empty group; KZ_RELAY_INVALID_HANDLE while the service is stopped.
int KZ_OpenUDPRelayGroup();
// Closes the group and its items' sockets. False for an unknown group.
bool KZ_CloseUDPRelayGroup(int group);

// Adds an item bound to local_address:local_port ("" or null = any address; port 0 = chosen by
// the system). peer_address:peer_port is the item's remote ("" or port 0 = none yet). channel
// (may be null) is the channel of the leg; dtmf_payload its telephone-event payload type (-1 =
// none). Returns the item handle, or KZ_RELAY_INVALID_HANDLE when the group is unknown or full or
// the socket cannot be bound.
int KZ_AddUDPRelayGroupItem(int group, const char* local_address, uint16_t local_port,
                            const char* peer_address, uint16_t peer_port, CKZChannel* channel,
                            int dtmf_payload);

// What an item writes into the RTP it sends out: its SSRC (0 = as it comes) and, when renumber is
// set, the sequence and timestamp its first packet carries (see KZ_SetUDPRelayGroupItemSequence).
struct KZRelayOutgoingStream {
    uint32_t ssrc = 0;
    bool renumber = false;
    uint16_t next_sequence = 0;
    uint32_t next_timestamp = 0;
};
// As above, with the outgoing stream set before the item can relay its first packet, so no
// packet ever leaves with the source's own numbering.
int KZ_AddUDPRelayGroupItem(int group, const char* local_address, uint16_t local_port,
                            const char* peer_address, uint16_t peer_port, CKZChannel* channel,
                            int dtmf_payload, const KZRelayOutgoingStream& stream);

// Sets the item's remote. An empty address, "0.0.0.0" or port 0 removes it, and the item latches
// again. False for an unknown item or an address that cannot be read.
bool KZ_SetUDPRelayGroupItemSrc(int item, const char* address, uint16_t port);
// The SSRC written into RTP packets sent out of the item; 0 leaves them as they come.
bool KZ_SetUDPRelayGroupItemSSRC(int item, uint32_t ssrc);
// Renumbers RTP sent out of the item: the first packet carries next_sequence and next_timestamp
// and the rest follow it (re-anchored when a new incoming stream starts), so the item's remote
// party sees the stream it knew go on without a jump.
bool KZ_SetUDPRelayGroupItemSequence(int item, uint16_t next_sequence, uint32_t next_timestamp);
// Where a renumbering item's stream stands: true, with what its next packet would carry, once it
// has relayed a packet.
bool KZ_GetUDPRelayGroupItemSequence(int item, uint16_t* next_sequence, uint32_t* next_timestamp);
// The telephone-event payload type of the item's leg; -1 = none.
bool KZ_SetUDPRelayGroupItemDTMF(int item, int payload);
// The port the item's socket is bound to; 0 for an unknown item.
uint16_t KZ_GetUDPRelayGroupItemLocalPort(int item);

// Receives, on the relay thread and with no relay lock held, each telephone-event packet that
// arrives on an item with a channel: the packet and the address and port it came from. A packet
// read just before its group closed may still be handed over after KZ_CloseUDPRelayGroup returns,
// so a channel given to an item must stay valid until the service stops (host channels live as
// long as their server). Null (the default) hands nothing over.
using KZRelayPacketSink = void (*)(CKZChannel* channel, const void* data, int length, const char* address,
                                   uint16_t port);
void KZ_SetUDPRelayPacketSink(KZRelayPacketSink sink);

} // namespace KZAPI
