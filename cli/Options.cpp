// The command line of vontal-cli, read with getopt_long.
#include "cli/Options.h"

#include <cstdlib>
#include <getopt.h>

namespace vontal {

namespace {

enum OptionId { kDir = 1000, kTask, kThreads, kSaveEvery, kVersion, kShowDir, kHelp = 'h' };

const option kLongOptions[] = {
    {"dir", required_argument, nullptr, kDir},
    {"task", required_argument, nullptr, kTask},
    {"threads", required_argument, nullptr, kThreads},
    {"save-every", required_argument, nullptr, kSaveEvery},
    {"version", no_argument, nullptr, kVersion},
    {"show-dir", no_argument, nullptr, kShowDir},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

std::string NameOf(int id) {
    for (const option& o : kLongOptions)
        if (o.name && o.val == id) return std::string("--") + o.name;
    return std::string("-") + static_cast<char>(id);
}

}  // namespace

ParsedOptions ParseOptions(int argc, char** argv) {
    ParsedOptions parsed;
    CliOptions& o = parsed.options;
    ::opterr = 0;  // the messages are ours
    ::optind = 0;  // a fresh scan
    for (;;) {
        const int id = ::getopt_long(argc, argv, ":h", kLongOptions, nullptr);
        if (id == -1) break;
        const std::string value = ::optarg ? ::optarg : "";
        char* end = nullptr;
        switch (id) {
            case kDir:
                o.dir = value;
                break;
            case kTask:
                o.task = value;
                break;
            case kThreads: {
                const unsigned long n = std::strtoul(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || value[0] == '-' || n < 1 || n > 256) {
                    parsed.error = "bad thread count '" + value + "' (1 to 256)";
                    return parsed;
                }
                o.threads = static_cast<uint32_t>(n);
                break;
            }
            case kSaveEvery:
                o.saveSeconds = std::strtod(value.c_str(), &end);
                if (value.empty() || *end != '\0' || !(o.saveSeconds >= 0.01 && o.saveSeconds <= 1e7)) {
                    parsed.error = "bad save interval '" + value + "' (seconds, 0.01 to 10000000)";
                    return parsed;
                }
                break;
            case kVersion:
                o.version = true;
                break;
            case kShowDir:
                o.showDir = true;
                break;
            case kHelp:
                o.help = true;
                break;
            case ':':
                parsed.error = NameOf(::optopt) + " needs a value";
                return parsed;
            default:  // '?': an unknown or ambiguous option, or a value given to one that takes none
                parsed.error = "unknown argument '" +
                               (::optopt && ::optopt < 256 ? std::string("-") + static_cast<char>(::optopt)
                                                           : std::string(argv[::optind - 1])) +
                               "'";
                return parsed;
        }
    }
    if (::optind < argc) parsed.error = "unknown argument '" + std::string(argv[::optind]) + "'";
    return parsed;
}

const char* UsageLine() {
    return "usage: vontal-cli [--dir DIR] [--task \"n=A to B, k=C to D\"] [--threads N] [--save-every SECONDS]\n"
           "       vontal-cli split --task \"n=A to B, k=C to D\" (--parts N | --hours H) --into DIR [--priority P]\n"
           "       vontal-cli merge [--out FILE] FOLDER...\n";
}

const char* HelpText() {
    return R"(usage: vontal-cli [--dir DIR] [--task "n=A to B, k=C to D"] [--threads N] [--save-every SECONDS]
       vontal-cli split --task "n=A to B, k=C to D" (--parts N | --hours H) --into DIR [--priority P]
       vontal-cli merge [--out FILE] FOLDER...

Searches for prime divisors k.2^n+1 of the Fermat numbers F_m = 2^(2^m)+1, without a window.
Without --task it continues the stored task; then it takes the follow-on tasks of the settings
file, one after another, and ends when none is left. Divisors go to standard output, progress
and messages to standard error.

Options:
  --dir DIR             the data folder: Vontal.ini (task, position, options, follow-on tasks),
                        Result.txt (divisors) and Vontal.log (finished exponents). Without it:
                        the executable's folder when a Vontal.ini lies there, else
                        $XDG_DATA_HOME/Vontal (~/.local/share/Vontal), created on first use
  --task "TASK"         begin TASK afresh instead of continuing the stored task
  --threads N           search on N cores, 1 to 256 (default: the key Threads in section [f] of
                        Vontal.ini, else 1)
  --save-every SECONDS  save the position at least this often (default 1800; it is also saved
                        after every divisor, as every exponent begins and on SIGINT/SIGTERM)
  --show-dir            print the data folder that would be used, and exit
  --version             print the version and the kernel in use, and exit
  -h, --help            print this help, and exit

Task: "n=A to B, k=C to D" searches the exponents n from A to B (8 to 99999) and the odd
multipliers k from C to D (below 2^63). k may be written 35e11 (35 followed by 11 zeros).
Follow-on tasks are lines of the same form in section [Following tasks] of Vontal.ini, keys
Task 1 to Task 10.

Example (the nine divisors of this range, from 1071.2^8+1 | F_6 to 13.2^20+1 | F_18):
  vontal-cli --dir /tmp/demo --task "n=8 to 20, k=1 to 2000"

Many machines: "split" writes one part folder per piece of a task, balanced by estimated work,
each run by "vontal-cli --dir PART"; "merge" reads the part folders' records and reports every
divisor once, the k ranges finished per exponent, the gaps and the verdict (exit status 0
complete, 1 gaps remain, 2 input refused). See the README, "Running on a cluster".

Environment:
  VONTAL_KERNEL=NAME    use this kernel (avx512ifma, avx2, bmi2, portable, or no-avx512)
  VONTAL_CPU_MHZ=MHZ    skip the measurement of the processor clock

Exit status:
  0    the tasks are done, or there was nothing to do
  1    the search stopped on a failure: a record, the log or the settings file could not be
       written (the position from which to continue is saved where it could be)
  2    a mistake on the command line, a task that cannot run, an unusable data folder or
       settings file, another Vontal program working in the data folder, or a VONTAL_KERNEL
       this machine cannot run
  128+N  stopped by signal N (130 SIGINT, 143 SIGTERM, 129 SIGHUP); the position is saved
)";
}

}  // namespace vontal
