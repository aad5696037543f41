// The machine-wide lock of an update: at most one update runs on the computer, whichever program
// (the dialog or the console program) runs it.
#pragma once

// One update per machine: RUN takes this named mutex before its checks and holds it until the
// result (OnUpdateResult releases it), in the dialog and in the console program alike. The mutex
// QuorvelaFwUpdate lives in the private namespace Quorvela, bounded by the Administrators group
// (platform::System::TakeNamedLock): a standard user can neither make it first nor take it.
constexpr const char16_t* UPDATE_LOCK_NAME = u"Quorvela\\QuorvelaFwUpdate";
// Takes the machine-wide lock into AppState::updateLock; false when another update (this program's
// own among them) holds it or it cannot be had. A lock its owner abandoned (a program that ended
// during an update) is taken.
bool TakeUpdateLock();
// Releases it when held; does nothing otherwise.
void ReleaseUpdateLock();
