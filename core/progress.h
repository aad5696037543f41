// How a long step of the command paths tells how far it got: a percentage of the caller's current
// stage, 0 to 100. The update worker hands one down that posts it to the dialog; the layers below
// know nothing of windows. Null reports nothing.
#pragma once

using ProgressReport = void (*)(int percent);
