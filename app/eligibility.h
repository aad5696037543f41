// RUN: the eligibility check and the start of an update.
#pragma once
#include "platform/types.h"

void OnRun(platform::WindowHandle window);
