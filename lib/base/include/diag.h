#pragma once

// The one way the libraries print. Progress and failure lines of the transport, the codec, the
// coordinates and the service go through a process-wide sink, each piece of text in one call,
// so a program can send them elsewhere or drop them and a test can read them. The default sink
// writes each piece with one stdio call to standard output or standard error, so lines from
// different threads never interleave mid-line. Every function may run on any thread.

#include <cstddef>

enum class DiagStream { Out, Err };

// Receives one piece of text (usually a whole line, newline included; not NUL-terminated).
using DiagSink = void (*)(DiagStream stream, const char* text, size_t len);

// Installs sink for every later diagnostic; null restores the default. Returns the previous one
// (null for the default).
DiagSink setDiagSink(DiagSink sink);

// A sink that drops everything.
void discardDiag(DiagStream stream, const char* text, size_t len);

// printf-style text to the sink.
void diagf(DiagStream stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// printf-style text on a line of its own: when the last text on stream (from any thread) did not
// end its line, a line feed comes first, in the same sink call.
void diagLine(DiagStream stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// "what: <strerror(errno)>\n" on standard error, as perror(what) writes it; errno is kept.
void diagPerror(const char* what);

// Flushes the default sink's streams, before a child process writes to the same descriptors.
void diagFlush();
