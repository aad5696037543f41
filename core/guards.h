// The guards of AppState fields that several layers share: whether an update runs, the flag that
// keeps list rebuilds apart, and the machine-wide lock of an update.
#pragma once
#include <cstdint>

#include "platform/types.h"

// AppState::workerThread, read atomically: the worker clears it while the dialog thread asks
// whether an update runs.
platform::ThreadHandle WorkerHandle();
bool IsUpdateRunning();

// Keeps two list rebuilds (the dialog's timer, the update worker's end) from overlapping, and
// guards selectedDrive against the two threads writing it at once.
bool TryTakeRefreshFlag();
void TakeRefreshFlag();  // waits until it is free
void ReleaseRefreshFlag();

// One update per machine: RUN takes this named mutex before its checks and holds it until the
// result (OnUpdateResult releases it), in the dialog and in the console program alike.
constexpr const char16_t* UPDATE_LOCK_NAME = u"Global\\QuorvelaFwUpdate";
// Takes the machine-wide lock into AppState::updateLock; false when another update (this program's
// own among them) holds it or it cannot be had. A lock its owner abandoned (a program that ended during an update) is taken.
bool TakeUpdateLock();
// Releases it when held; does nothing otherwise.
void ReleaseUpdateLock();
