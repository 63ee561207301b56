// TolvanExcept.h: ETolvanException, the engine's one exception.
//
// It carries the native error code of its raise site beside the message. The message is always
// composed as  <text> " - Native error: " <code as %.5d>,  so code 2011 reads "02011". CreateFmt
// never fails because of its arguments: when the format cannot be filled, the text is the format
// itself followed by " Arguments are invalid!".
//
// Handlers decide on the exception's class, never on the code: the code is for the reader.
//
// Threads: an exception object belongs to the thread that raised or caught it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "classlib/Format.h"
#include "classlib/SysUtils.h"

namespace tolvan {

class ETolvanException : public Exception {
public:
  ETolvanException(int32_t NativeError, std::string_view Message);

  static ETolvanException Create(int32_t NativeError, std::string_view Message) {
    return ETolvanException(NativeError, Message);
  }

  template <class... A>
  static ETolvanException CreateFmt(int32_t NativeError, std::string_view Fmt, const A&... Args) {
    if constexpr (sizeof...(A) == 0) {
      return CreateFmtArgs(NativeError, Fmt, std::span<const TVarRec>());
    } else {
      const TVarRec Recs[] = {TVarRec(Args)...};
      return CreateFmtArgs(NativeError, Fmt, std::span<const TVarRec>(Recs, sizeof...(A)));
    }
  }

  static ETolvanException CreateFmtArgs(int32_t NativeError, std::string_view Fmt,
                                        std::span<const TVarRec> Args);

  int32_t NativeError() const noexcept { return FNativeError; }

private:
  int32_t FNativeError;
};

} // namespace tolvan
