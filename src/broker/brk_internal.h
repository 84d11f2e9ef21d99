// Shared by the two source files of the stand-in library; not exported.
#pragma once

#include <exception>

#include "broker/brk_standin.h"

namespace standin {

// Counts the call and applies failure injection: sets *returnCode (when not
// null) to 0 or to the injected code, and returns false when the call fails.
bool enterCall(Call call, int* returnCode);

LogHandler* currentLogHandler();
// The calling thread's last exception, or null; valid until the next one.
const ExceptionTexts* lastExceptionStorage();
bool nameLengthCountsTerminator();
// The object cniPropagate last caught on this thread, kept only while
// setRethrowOriginal is on; null otherwise.
void keepOriginalException(std::exception_ptr caught);
std::exception_ptr originalException();

}  // namespace standin
