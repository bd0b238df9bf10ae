// The subcommands "vontal-cli split" and "vontal-cli merge": their options, messages and exit
// statuses. The front end hands over the arguments after the subcommand's name.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vontal::cluster {

// vontal-cli split --task "n=A to B, k=C to D" (--parts N | --hours H) --into DIR [--priority P]
// Writes DIR/part-01 ... and names each part's piece on `out`. 0 when written (or already
// there, the same), 2 on bad input, which changes nothing, 1 when a folder cannot be written.
int RunSplit(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// vontal-cli merge [--out FILE] FOLDER...
// Prints the merged report on `out` and, with --out, writes it to FILE (replaced in one step).
// 0 when the task is complete, 1 while any gap remains, 2 on bad input (nothing written).
int RunMerge(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vontal::cluster
