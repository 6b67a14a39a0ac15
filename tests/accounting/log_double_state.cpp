// SPDX-License-Identifier: Apache-2.0
// The recording of the logging library double. It lives in a library of its own, so
// that it outlasts every load and unload of the doubles within one test program.
#include "tests/accounting/log_double.h"

namespace logdouble {

const Slot kStandardSlots[13] = {{32, 32},   {192, 512}, {200, 512}, {208, 512}, {216, 512},
                                 {224, 512}, {232, 512}, {240, 256}, {416, 256}, {424, 256},
                                 {440, 256}, {464, 256}, {480, 256}};
const Slot kExtendedExtraSlot = {640, 256};

State& GetState() {
  static State state;
  return state;
}

void Reset() { GetState() = State(); }

}  // namespace logdouble
