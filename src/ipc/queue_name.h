#pragma once

#include <cstddef>

// "TARN" followed by a task's file name, the one rule both sides use: the
// HTTP task naming another task's queue and the task naming its own. A name
// longer than kQueueNameMax is cut the same way on both sides; returns false
// when it was cut.
constexpr size_t kQueueNameMax = 31;
bool BuildQueueName(const char* task, size_t taskLength, char (&out)[kQueueNameMax + 1]);
