#include "present/FailureNotices.h"

#include <algorithm>
#include <array>

namespace {
constexpr char kOpenComCaption[] = "Open Com";
using F = TransferFailure;

const std::array kRows = {
    FailureNotice{F::PortOpenFailed, "串口打开错误", kOpenComCaption, NoticeIcon::Exclamation},
    FailureNotice{F::PortTimeoutsFailed, "串口超时设置错误", kOpenComCaption,
                  NoticeIcon::Exclamation},
    FailureNotice{F::PortEventsFailed, "overlapped failed!"},
    FailureNotice{F::ThreadNotStarted, "线程创建失败!", "", NoticeIcon::Exclamation},
    FailureNotice{F::PortLost, "串口已断开!"},
    FailureNotice{F::WriteFailed, "串口写入失败!"},
    FailureNotice{F::FileUnreadable, "文件不可读!", "", NoticeIcon::None, true},
    FailureNotice{F::NoAnswer, "云台无应答!"},
    FailureNotice{F::HeadFailed, "更新失败!"},
    FailureNotice{F::HeadTimedOut, "更新超时!"},
    FailureNotice{F::DoneTooEarly, "更新失败!", "", NoticeIcon::None, true},
    FailureNotice{F::DoneWithheld, "更新失败!", "", NoticeIcon::None, true},
    // An image that cannot be read when it is chosen (an empty one has a notice of its own).
    FailureNotice{F::ImageRefused, "文件不可读!"},
    // A failed reopening is told as the failed opening it is, and disables the buttons.
    FailureNotice{F::PortReopenFailed, nullptr},
    // So is a raw TCP port that refuses the head's speed.
    FailureNotice{F::PortSpeedFixed, nullptr},
    // The window greets only on an open port, has no resend limit and takes no signals.
    FailureNotice{F::PortClosed, nullptr},
    FailureNotice{F::TooManyResends, nullptr},
    FailureNotice{F::Interrupted, nullptr},
};
static_assert(kRows.size() == kAllTransferFailures.size());
}  // namespace

std::span<const FailureNotice> FailureNotices() {
    return kRows;
}

const FailureNotice& FailureNoticeFor(TransferFailure failure) {
    return RowForFailure<FailureNotice>(kRows, failure, kRows.back());
}

std::optional<Notice> NoticeOf(const FailureNotice& row) {
    if (!row.text) return std::nullopt;
    return Notice{row.text, row.caption, row.icon};
}
