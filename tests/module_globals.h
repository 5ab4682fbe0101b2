// The module globals of core back at their start values, when the guard is
// made and again when it goes, so no test sees what another left behind.
#pragma once

#include "core/Enkoderji_splosno.h"
#include "core/Recording.h"
#include "core/Serial_driver.h"

class ModuleGlobalsGuard {
public:
    ModuleGlobalsGuard() { Reset(); }
    ~ModuleGlobalsGuard() { Reset(); }
    ModuleGlobalsGuard(const ModuleGlobalsGuard&) = delete;
    ModuleGlobalsGuard& operator=(const ModuleGlobalsGuard&) = delete;

    static void Reset() {
        EncoderPosition = TEncoderPosition{};
        EncoderSignature = TEncoderSignature{};
        DetailedStatus = 0;
        ReplyTimeoutMs = 400;
        TrafficLogEnabled = false;
        TrafficLog.clear();
        ReplyWaitMode = ReplyWait::Blocking;
        RecordingSyncMode = TRecordingSync::EverySecond;
    }
};
