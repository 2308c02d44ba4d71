// What the window tells of each way a transfer or its port can fail: one row a TransferFailure,
// the notice (text, caption, icon) and whether the failure ends the transfer for the start
// button. A few failures only another front end finds: their rows tell nothing.
#pragma once

#include <optional>
#include <span>

#include "present/OperatorView.h"
#include "upgrade/TransferFailure.h"

struct FailureNotice {
    TransferFailure failure;
    const char* text;          // null: the window never meets this failure, and tells nothing
    const char* caption = "";  // empty: the application's name
    NoticeIcon icon = NoticeIcon::None;
    bool endsTransfer = false;  // "开始升级" is disabled before the notice
};

// The whole table, in the order of kAllTransferFailures.
std::span<const FailureNotice> FailureNotices();
// The row for failure; every failure has one.
const FailureNotice& FailureNoticeFor(TransferFailure failure);
// The notice the row tells, none when it tells nothing.
std::optional<Notice> NoticeOf(const FailureNotice& row);
