#pragma once
// The type bytes of the packets the server writes to an operating client (after its login
// answer): the first byte of each packet, as the char that goes into it. The network, the client
// context and the Parrot write and read packets by these names; the tests frame the stream by them.
//
// Pairs of an 8-bit and a UTF-8 form: the UTF-8 one goes to the clients whose connect line
// carried a valid UTF-8 part.
namespace zel {

// The floor: nobody holds it (one byte); the receiver holds it (its 2-byte index); a voice block
// (the talker's index and five frames, 328 bytes); a short block (the index and one frame, 68
// bytes); the talk goes on (one byte, for sound acknowledgements).
inline constexpr char ZELPacketFloorFree = 0;
inline constexpr char ZELPacketFloorGrant = 1;
inline constexpr char ZELPacketVoice = 2;
inline constexpr char ZELPacketShortBlock = static_cast<char>(129);
inline constexpr char ZELPacketSoundAck = static_cast<char>(137);

// Text messages: a count line and that many lines.
inline constexpr char ZELPacketText = 4;
inline constexpr char ZELPacketTextUtf8 = static_cast<char>(0x85);

// The member list: the full list (the talker's index, a count line and the entries), the count
// alone, and the difference against the list last sent.
inline constexpr char ZELPacketMemberList = 3;
inline constexpr char ZELPacketMemberListUtf8 = static_cast<char>(131);
inline constexpr char ZELPacketMemberCount = static_cast<char>(130);
inline constexpr char ZELPacketMemberDiff = static_cast<char>(132);

// The network's lists, to the administrators and owners: a count line and one line per entry;
// the mode switches go to the owners.
inline constexpr char ZELPacketAdmins = 6;
inline constexpr char ZELPacketAdminsUtf8 = static_cast<char>(136);
inline constexpr char ZELPacketRights = 7;
inline constexpr char ZELPacketRightsUtf8 = static_cast<char>(139);
inline constexpr char ZELPacketBlocks = 8;
inline constexpr char ZELPacketBlocksUtf8 = static_cast<char>(134);
inline constexpr char ZELPacketMutes = 9;
inline constexpr char ZELPacketMutesUtf8 = static_cast<char>(135);
inline constexpr char ZELPacketModes = 10;
inline constexpr char ZELPacketNotice = 11;
inline constexpr char ZELPacketNoticeUtf8 = static_cast<char>(138);

// Who speaks and who writes, one line each: the talker's entry, its speaker-cache entry and
// position, a message sender's entry and its cache position.
inline constexpr char ZELPacketSpeaker = static_cast<char>(142);
inline constexpr char ZELPacketMessageSender = static_cast<char>(143);
inline constexpr char ZELPacketCacheEntry = static_cast<char>(145);
inline constexpr char ZELPacketCachePosition = static_cast<char>(146);
inline constexpr char ZELPacketMessagePosition = static_cast<char>(147);

// The state answer (to a moved client): its login fields and the running time, one element line.
inline constexpr char ZELPacketState = static_cast<char>(0x90);

}  // namespace zel
