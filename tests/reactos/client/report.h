// The client's report: one line of debug output per step and figure, each
// with the prefix "TVC: ", which the debug kernel copies to its serial log.
// The run always ends with the same last line, so the host knows it is over.
#pragma once

// Reports one step or figure.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Reports a failed check; the run's result becomes FAIL.
void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
int FailureCount();
// The result line, then the fixed last line.
void SayResultAndEnd();

extern const char LastLine[];
