#pragma once
// The service tick: the timer thread's handler (TZELService::TimerTick, defined in
// dmq_zel_svc_tick.cpp). In one call it advances the clocks, counts down timed moves, dispatches a
// batch of the service queue, runs the network dispatchers that are due, wakes the workers that
// have work, and turns changed lists into save jobs for the service thread.
//
// The bits of the service's flags word (written on the timer thread only) are declared here.
#include <cstdint>

namespace zel {

// A list changed: the tick builds its snapshot and queues its save.
inline constexpr uint32_t ZELSVCFlagMutes = 0x8;
inline constexpr uint32_t ZELSVCFlagBlocks = 0x20;
inline constexpr uint32_t ZELSVCFlagAdmins = 0x80;
inline constexpr uint32_t ZELSVCFlagModes = 0x200;
inline constexpr uint32_t ZELSVCFlagRights = 0x800;
inline constexpr uint32_t ZELSVCFlagNotices = 0x2000;
inline constexpr uint32_t ZELSVCFlagOwner = 0x8000;
// A network took pending commands in this pass: the tick makes another pass.
inline constexpr uint32_t ZELSVCFlagNetworkActivity = 0x10000;
// Answer the waiting flush requests once their saves are queued.
inline constexpr uint32_t ZELSVCFlagFlushAnswers = 0x80000;
// What a flush request saves: every list but the owner.
inline constexpr uint32_t ZELSVCFlagAllListsButOwner = ZELSVCFlagMutes | ZELSVCFlagBlocks | ZELSVCFlagAdmins |
                                                       ZELSVCFlagModes | ZELSVCFlagRights | ZELSVCFlagNotices;

}  // namespace zel
