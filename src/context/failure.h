// How a failure is reported: the debug-log line of each kind of report and
// the host's error number of each operation. Every report of the plug-in
// sets the call's code and text and writes one of these lines through
// GcpCtx::fail, directly or through the operations' helpers built on it
// (failRequest, failResponse, failFor).
#pragma once

namespace DuVavaZid {

namespace logfmt {
// Most take the code and the text, in that order. GcpCtx::fail knows the
// others by their address: kText takes the text alone, kWithUrl and
// kWithRestErrors a third value (the request's path, GCP's own messages),
// kNotGoogle and kPrepareDevice the device in front.
inline constexpr char kReport[] = "GCP %d:%s";
inline constexpr char kStep[] = "GCP %d-%s";
inline constexpr char kText[] = "GCP %s";
inline constexpr char kSnapOperation[] = "GCP Snap operation failed. Err-[%d:%s]";
inline constexpr char kInquiry[] = "GCP SCSI Inquiry failed. %d:%s";
inline constexpr char kScsiDetails[] = "GCP Invalid SCSI details. %d:%s";
inline constexpr char kDeviceCheck[] = "GCP Checking for Google GCP device failed [%d:%s]";
inline constexpr char kInputObjects[] = "GCP Input internal object validation failed [%d:%s]";
inline constexpr char kInputSnapList[] = "GCP Input snap list validation failed [%d:%s]";
inline constexpr char kInputCall[] = "GCP Input validation for snap operation failed [%d:%s]";
inline constexpr char kWithUrl[] = "GCP %d-%s - URL-[%s]";
inline constexpr char kWithRestErrors[] = "GCP %d-%s REST Error-[%s]";
inline constexpr char kNotGoogle[] = "GCP Device [%s] is NOT a Google GCP one [%d:%s]";
inline constexpr char kPrepareDevice[] = "GCP Snap prepare failed for device [%s] Err-[%d:%s]";
}  // namespace logfmt

// The host's error number for a failed call of an operation; 0 for an
// operation that has none (its failures keep the plug-in's own code).
int hostErrorOf(short opCode);

// The code a record's error carries: the operation's host error, else code
// when set, else ctxCode.
int hostErrorForOp(short opCode, int code, int ctxCode);

}  // namespace DuVavaZid
