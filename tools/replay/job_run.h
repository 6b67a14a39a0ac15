// SPDX-License-Identifier: Apache-2.0
// One job of `spoolgate run`: the plug-in's exports driven with a capture's events, and
// the report of what the job did, built from the Win32 calls the plug-in made.
#pragma once

#include "tools/replay/job_setup.h"

#include <nlohmann/json.hpp>

#include <string>

namespace spoolgate {

// Runs the capture as one job; the report object that `run --json` lists under "jobs".
nlohmann::ordered_json RunJob(const std::string& capturePath, const JobSetup& setup);

}  // namespace spoolgate
