#include "foundation/TolvanExcept.h"

namespace tolvan {

namespace {

std::string Compose(int32_t NativeError, std::string_view Text) {
  std::string S(Text);
  S += " - Native error: ";
  S += Format("%.5d", NativeError);
  return S;
}

} // namespace

ETolvanException::ETolvanException(int32_t NativeError, std::string_view Message)
    : Exception(std::string()), FNativeError(NativeError) {
  SetMessage(Compose(NativeError, Message));
}

ETolvanException ETolvanException::CreateFmtArgs(int32_t NativeError, std::string_view Fmt,
                                                 std::span<const TVarRec> Args) {
  std::string Text;
  try {
    Text = FormatArgs(Fmt, Args);
  } catch (const std::exception&) {
    Text.assign(Fmt);
    Text += " Arguments are invalid!";
  }
  return ETolvanException(NativeError, Text);
}

} // namespace tolvan
