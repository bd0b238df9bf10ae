// The user guide shown by Help, Contents.
#include "gui/HelpDialog.h"

namespace vontal {

QString HelpText() {
    return QStringLiteral(R"(VONTAL - SEARCHING FOR DIVISORS OF FERMAT NUMBERS

What the program looks for
The Fermat numbers are F(m) = 2^(2^m) + 1. Every prime that divides one of them has the form p = k*2^n + 1, with k odd and n at least m + 2. A search task is a range of exponents n and a range of multipliers k. For each n of the range, from the first to the last, the program throws out the k whose candidate has a small prime factor and tests every remaining candidate k*2^n + 1 against all F(m) it could divide. The work runs in one background thread at a low priority, so you can go on with your own work while it runs for days.

Entering a task
Type the task into the four boxes of the main window: the first and last exponent n (digits only, at least 8) and the lowest and highest multiplier k (only odd k are tested; k must stay below 2^63). Then choose Test, Start.
A k box takes digits and one exponent letter "e" or "E": the digits after the letter count the zeros that follow, so 35e11 means 35 followed by 11 zeros, 3,500,000,000,000. 20e12 is 20,000,000,000,000.

Where the results go
All files live in the folder that holds the program itself, not in the folder you started it from:
  Vontal.ini  - the task, the point reached, your options and the follow-on tasks;
  Result.txt  - one line for every divisor found; it is also shown in the window;
  Vontal.log  - one record for every exponent finished, with its k range, the date and a check value (CODO).
  results.jsonl - the same divisors and finished exponents once more, one JSON object per line, for programs that collect results (described in the README).
The check value is computed from the exponent and the k range by this program; whoever collects the log files can see from it that the range was really searched. Send your Vontal.log along when you report a finished range.
The position is saved when a task starts, every 30 minutes, on Stop and when the program ends, so after a crash or a power cut the search goes on from the last save. An interrupted task continues by itself the next time the program starts.

The tray icon
While the program runs it shows the formula 2^2^m+1 as an icon in the system tray (the notification area of your desktop panel). Its colour tells the state:
  yellow            - no search runs;
  green             - a search runs;
  red lower half    - a divisor has been found (on yellow: stopped, on green: running).
Double-click the icon to bring the window back; minimizing the window hides it to the tray. A right click on the icon opens its menu: show or hide the window, Continue, Stop and Quit. When Vontal.ini exists the program starts in the tray, without showing its window. Where the desktop has no tray the window stays visible.

Menu Test
  Start (Ctrl+P)     - starts the task in the boxes from its beginning, after you confirm.
  Continue (Ctrl+C)  - goes on with the task from the point saved in Vontal.ini.
  Stop               - stops the search and saves the point reached.
  Quit (Ctrl+Q)      - saves the point reached and ends the program.
While a search runs, the foot of the window shows the share of the task done and the time left at the speed measured last.

Menu Options
  Following Task/Time - the task planner. Up to ten tasks wait here and start one after another when the current task is done. Type a task into the boxes and press Add; click an entry to copy it back into the boxes, then Change or Delete it. Behind every entry the planner shows roughly how long it takes ("Days ~ 3", or "Hours ~", "Minutes ~", "Seconds ~" for less than a day). The estimate comes from this computer's own speed, measured with short runs of the real search the first time it is needed, for the number of threads set under Options, Threads, when the search has the processor to itself. The CPU box shows this computer's clock (Mhz); change it to see the estimate for a computer of another clock with the same kind of processor. Nothing is saved until you press OK; Cancel or Escape leaves the list as it was.
    The planner keeps the tasks in Vontal.ini, section [Following tasks], keys "Task 1" to "Task 10". You can also write them there by hand, or over a shared folder while the program runs, one task per line, for example:
      Task 1=n=50 to 50, k=20e12 to 30e12
    Exactly one blank on each side of "to" and one after the comma. Within 15 seconds after a task ends, the program takes the first non-empty entry, empties its key and starts it.
  Connection with Local Server - links the program to the control server, a program on another computer of your network. Enter the server's name or address once; the program connects to TCP port 31415 and, while the link is switched on, tries again every 15 seconds after a failure or a lost connection, also after a restart. Network errors are never shown. The server can start, continue and stop the search, set the next task and read the state. Choose the item again to switch the link off. The control server that comes with the program is vontal-server; see its --help.
  Accept Tasks from Server - when the server starts a task from the beginning (for example the next task of its queue, once this computer has finished its own), the program asks you first; with this item ticked it starts the task at once without asking. Off until you tick it; kept in Vontal.ini as AcceptServerTasks=1.
  Priority - how much the search gives way to other programs, applied at once and kept for later runs:
      Idle (Ctrl+F1)   - runs only when nothing else wants the processor (the default and the best choice);
      Lowest (Ctrl+F2) - nice 19;
      Lower (Ctrl+F3)  - nice 10;
      Normal (Ctrl+F4) - nice 0;
      Higher (Ctrl+F5) - nice -5.
    Linux lets only a privileged user raise a priority. For an ordinary user a running search cannot leave Idle, and Higher is never allowed: the refusal is shown as a message, and the choice is kept and applies from the next start where the system allows it.
    The item is available once a search has been started.
  Floating Priority - for computers on which an old program keeps the processor busy without doing anything useful: the search drops to the lowest priority as soon as you move the mouse and rises to the highest after the mouse has rested. The item is offered only when Vontal.ini holds "OldProg=1" in section [f]; add that line by hand if you need it.
  Threads - how many processor cores the search uses, from 1 to the number this computer has (kept as "Threads" in section [f] of Vontal.ini). A running search stops at the candidates in hand and goes on at once on the new number; the records are the same whatever the number.
  Start with Desktop Session - starts the program with your desktop session. A tick means the autostart entry ~/.config/autostart/Vontal.desktop exists (or $XDG_CONFIG_HOME/autostart/Vontal.desktop when that variable is set); choosing the item again removes it. The control server switches the same entry.
  Hide - removes the tray icon for good, for machines that should show nothing. Only for experienced users: afterwards a minimized window cannot be brought back, and later starts show no icon either. To get the icon back, stop the program and change the line "isHidden=1" in section [f] of Vontal.ini to "isHidden=0".
  Clear Result Box - empties the result box and deletes Result.txt, after you confirm. The log file stays. If you have found a new divisor, please tell the world first!

Menu Help
  Contents (F1)  - this text. Escape closes it.
  About (F2)     - the version of the program, the kernel in use, the licence and the data folder.

No warranty
This program is free of charge and comes with NO WARRANTY of any kind, to the extent permitted by law. It is provided "as is", without any guarantee that it is correct, that it finds every divisor, or that it is fit for any purpose. You run it at your own risk; long runs at full load heat the processor, so keep your computer's cooling in order. The authors are not liable for any damage or loss of data that comes from using it.
)");
}

}  // namespace vontal
