// The guards of AppState fields that several layers share: whether an update runs, and the flag
// that keeps list rebuilds apart.
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
