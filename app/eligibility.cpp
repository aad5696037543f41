// Placeholder body: the check is built on the command paths and the image checks.
#include "app/eligibility.h"

void OnRun(platform::WindowHandle) {}
