// SPDX-License-Identifier: Apache-2.0
// The readable form of a job report that `spoolgate run` builds as JSON.
#pragma once

#include <nlohmann/json.hpp>

#include <ostream>

namespace spoolgate {

// Writes one job's report (the object `spoolgate run --json` lists under "jobs").
void WriteJobReport(const nlohmann::ordered_json& job, std::ostream& out);

}  // namespace spoolgate
