// What tarn-setup queue and purge share: the capture queue opened, and a
// failed read said as one line.
#pragma once

#include <cstdio>
#include <string>

#include "base/db_handle.h"
#include "queue/queue_views.h"
#include "setup.h"

namespace tarnsetup {

// "NIFOpenCollection of view Pending failed (status text)"
std::string FailureText(const tarn::queue::Failure& f);

// Opens the capture queue; false (said on standard error, under `command`)
// when it cannot be opened.
bool OpenQueue(DbHandle& db, const char* command);

}  // namespace tarnsetup
