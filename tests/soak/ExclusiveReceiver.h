#pragma once

// The soak suites' name for the shared exclusive loopback receiver.
#include "LoopbackReceiver.h"

using ExclusiveReceiver = LoopbackReceiver;
