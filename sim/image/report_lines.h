/* The records of a run, one a line: what the device image's loader writes
   on stdout for devsim run --image, what vmrun adds in the VM, and what
   devsim's confined part hands its outside, which makes the report of them
   (sim/devsim/run.h, records.h). A record is its name, then its fields,
   each after one blank.

   A number is decimal: a result as the C type gives it, a handle or address
   as an unsigned value (0 for none). A text is "-" for a null pointer, else
   "=" and its bytes, where a byte outside '!'..'~' and '%' itself are
   written %XX (two upper-case hex digits), so any byte survives and a line
   holds no blank of its own. SEQ is the place of the call among all the
   module's calls (1, 2, ...).

   C and C++ alike include this file. */
#ifndef STEADYFLOW_REPORT_LINES_H
#define STEADYFLOW_REPORT_LINES_H

/* __TAP_Init_'s result, and 1 when it filled both entry slots, else 0 */
#define REPORT_INIT "init" /* RESULT FILLED */
/* the main entry's result */
#define REPORT_MAIN "main" /* RESULT */
/* one delivered event and the handler's answer */
#define REPORT_EVENT "event" /* CODE PARAM1 PARAM2 RESULT */
/* a firmware call: its entry's name, 1 if it was made to fail, its
   arguments and whether a result follows (1 or 0); then, for each argument
   and the result, a value: KIND NULL NUMBER OFFSET TEXT (core.h's Value;
   KIND the number of the ValueKind, TEXT "-" unless the kind is Text) */
#define REPORT_FIRMWARE "firmware" /* SEQ ENTRY FAULT ARGS HAS-RESULT VALUE... */
/* the dynamic-linker calls, each with what it was given and answered */
#define REPORT_DLOPEN "dlopen"   /* SEQ FILE FLAGS HANDLE */
#define REPORT_DLSYM "dlsym"     /* SEQ HANDLE NAME ADDRESS */
#define REPORT_DLERROR "dlerror" /* SEQ TEXT */
#define REPORT_DLCLOSE "dlclose" /* SEQ HANDLE */
/* the platform calls: open's descriptor (or -1 and errno), system's status */
#define REPORT_OPEN "open"     /* SEQ PATH FLAGS RESULT ERRNO */
#define REPORT_SYSTEM "system" /* SEQ COMMAND STATUS */
#define REPORT_NOT_RUN "notrun" /* SEQ COMMAND: recorded, no shell ran it */
/* the firmware's current directory and heap after the run */
#define REPORT_CWD "cwd"   /* TEXT */
#define REPORT_HEAP "heap" /* LIVE-BLOCKS PEAK-BYTES */

/* What a run's terminals received (SIZE all the bytes, TEXT the first few
   KiB) and the kernel setting before and after it: devsim's confined part
   reads its stand-ins, and in the VM vmrun the kernel's own. */
#define REPORT_TERMINAL "terminal" /* NUMBER SIZE TEXT */
#define REPORT_KERNEL "kernel"     /* BEFORE-TEXT AFTER-TEXT */

/* In the VM (vmrun, sim/vm): the kernel's release and its memory in kB; the
   memory available before and after the run, in kB; how the loader ended
   (its wait status) and the first line it wrote on stderr. */
#define REPORT_VM "vm"         /* RELEASE TOTAL-KB */
#define REPORT_MEMORY "memory" /* BEFORE-KB AFTER-KB */
#define REPORT_LOADER "loader" /* STATUS TEXT */

/* devsim's confined part to its outside: a disk path the run left that is
   no folder or regular file; a line of devsim check (its word and text);
   the one line the run ended with, and its exit status. Last, the record
   that says the records are whole (in the VM: that its init finished the
   run and wrote the disk back). */
#define REPORT_SKIPPED "skipped" /* PATH */
#define REPORT_LINE "line"       /* WORD TEXT */
#define REPORT_FAILURE "failure" /* STATUS TEXT */
#define REPORT_END "end"

#endif
