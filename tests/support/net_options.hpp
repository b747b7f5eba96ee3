#pragma once
// Server-wide network option values that differ from the fixed defaults, so that each fallback
// kind of the option parser shows.
#include "service/dmq_zel_svc_params.hpp"

namespace zel::test {

inline TZELServiceNetOptions ServerWideNetOptions() {
    TZELServiceNetOptions d;
    d.CharsetName = u"UTF-8";
    d.ManagerMode = TZELSystemManagerMode::smm_Light;
    d.OutputBufferLimit = 65536;
    d.OutputBufferFactor = 5;
    d.LogClientLevel = 3;
    d.ClientSessionMaxTime = 600;
    d.MaxSpeechTime = 120000;
    d.SpeechPause = 250;
    d.QuarantineTime = 1000;
    d.ShortFrames = true;
    d.SpeechLimit = false;
    d.LogAdmin = false;
    d.TempMuteBlock = false;
    d.LevelMuteBlock = true;
    d.ExactMuteBlock = true;
    d.UniqCallsign = true;
    return d;
}

}  // namespace zel::test
