#include "formats/mat/matio_util.hpp"

#include <mutex>

namespace vexil::formats::mat {
namespace {

std::mutex g_log_mutex;
std::string g_last_log;

void capture_log(int level, char* message) {
  if (!(level & (MATIO_LOG_LEVEL_ERROR | MATIO_LOG_LEVEL_CRITICAL)) || !message) return;
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_last_log = message;
}

}  // namespace

void init_log() {
  static std::once_flag once;
  std::call_once(once, [] { Mat_LogInitFunc("vexil", capture_log); });
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_last_log.clear();
}

std::string take_log() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::string s;
  s.swap(g_last_log);
  // matio's HDF5 messages span several lines; the first says what failed.
  if (auto nl = s.find('\n'); nl != std::string::npos) s.resize(nl);
  return s;
}

std::string with_reason(std::string msg) {
  std::string reason = take_log();
  if (!reason.empty()) msg += " (" + reason + ")";
  return msg;
}

std::optional<DType> dtype_of_class(matio_classes c) {
  switch (c) {
    case MAT_C_DOUBLE: return DType::Float64;
    case MAT_C_SINGLE: return DType::Float32;
    case MAT_C_INT8: return DType::Int8;
    case MAT_C_UINT8: return DType::UInt8;
    case MAT_C_INT16: return DType::Int16;
    case MAT_C_UINT16: return DType::UInt16;
    case MAT_C_INT32: return DType::Int32;
    case MAT_C_UINT32: return DType::UInt32;
    case MAT_C_INT64: return DType::Int64;
    case MAT_C_UINT64: return DType::UInt64;
    default: return std::nullopt;
  }
}

}  // namespace vexil::formats::mat
