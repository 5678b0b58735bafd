// The creation of the library's thread (the process-wide notification thread), and
// the report of an exception that escapes the work it runs.
#pragma once

#include <pthread.h>

#include <string_view>

namespace netpod::platform {

// Starts routine(arg) on a plain OS thread (joinable, the system's default stack,
// since application callbacks run on it, and every asynchronous signal blocked, since
// those belong to the application's own threads). Returns 0 or pthread_create's error.
int StartSystemThread(pthread_t* handle, void* (*routine)(void*), void* arg);

// Marks the calling thread as one that must never wait for a lock of another
// process or for a file (the notification thread: every connection waits for it).
// What it reports to the error log is written by another thread.
void MarkThreadThatMustNotBlock();
bool ThreadMustNotBlock();

// Tests only: how the OS thread is created (pthread_create by default), so that a
// test can refuse a creation. Not for use while threads are being created.
using ThreadCreator = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
void SetThreadCreatorForTesting(ThreadCreator creator);

// Where an exception that escaped the work of the library's thread is reported (the
// thread goes on). Set once by the layer that owns the error log; until then such an
// exception is written to standard error.
using ExceptionReporter = void (*)(std::string_view what);
void SetExceptionReporter(ExceptionReporter reporter);
void ReportException(std::string_view what);

}  // namespace netpod::platform
