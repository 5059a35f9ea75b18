// The failure of an input that another program changed while the run had
// it open, and every place that looks for one. The count reads file.txt
// once and keeps what it learned: the size, every line's length and a
// digest of the bytes (input_digest.h). Each later read is checked where it
// is made, since only there is it known what that read should find:
//
// - line_walker.h: a walk of the input in order (either part of the first
//   step, each pass) finds no newline past the last counted line and none
//   missing, and the bytes it read add up to the count's digest; a read
//   that comes back short (read_input_exactly) means a shorter file.
// - small_windows.cpp: a line copied straight is read alone from its
//   counted offset, outside any walk, so the digest sees it only later: it
//   must hold exactly one newline, as its last byte, or the copy would put
//   pieces of other lines in its place.
// - distribute.cpp: each part fills its stretch of every region exactly;
//   a line longer than counted would spill into the next region, and one
//   shorter would leave bytes of the old output behind.
// - region_order.cpp: a region read back from the output holds exactly its
//   lines, each ending in a newline where the lengths said. The digest
//   covered the input, not the output, and the reorder cuts the region at
//   those line ends.
// - passes.cpp: every line of a window is found, each as long as counted,
//   since the window's memory was sized from the counted lengths.
// - files.cpp (check_input_unchanged, once the lines are written): the
//   input still says about itself what it said when opened, before the
//   count; that catches a write after the last read, which no digest sees.
//
// Three of these checks are defence in depth, each backed by a later one:
// the count's first part coming up short of the middle (count.cpp; the
// file's identity at the end differs), a region filled more or less than
// exactly (distribute.cpp) and a straight copy's newline (small_windows.cpp;
// for both, a later walk's digest of the same bytes differs). They stay so
// that a changed file is named where it is met, before a wrong byte is
// written, rather than after the whole output.
#pragma once

#include "run_state.h"

namespace line_shuffler {

[[noreturn]] inline void input_changed() {
    throw run_failure{failure::input_changed};
}

}  // namespace line_shuffler
