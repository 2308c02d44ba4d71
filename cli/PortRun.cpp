#include "cli/PortRun.h"

#include "cli/FailureReasons.h"
#include "cli/PlanJournal.h"
#include "upgrade/FirmwareFrame.h"

namespace flash {
PortRun::PortRun(const FlashOptions& options, std::vector<const PlanRow*> rows, const RunIo& io,
                 ImageReader images, std::unique_ptr<SharedEvents> events, RowEnded rowEnded)
    : base_(options),
      rows_(std::move(rows)),
      port_(rows_.front()->port),
      signal_(io),
      events_(std::move(events)),
      rowEnded_(std::move(rowEnded)),
      waiter_(signal_.Io()),
      clock_(signal_.Io().interrupts),
      pump_(engine_, waiter_, clock_),
      engine_(relay_, EngineOptions(std::move(images))) {}

UpgradeEngine::Options PortRun::EngineOptions(ImageReader images) {
    UpgradeEngine::Options engineOptions;
    engineOptions.clock = &clock_;
    engineOptions.answerWait = base_.answerTimeout;
    engineOptions.wake = [this] { waiter_.Wake(); };
    engineOptions.openLine = signal_.Io().openLine;
    engineOptions.readImage = std::move(images);
    return engineOptions;
}

bool PortRun::WaitUntil(const std::function<bool()>& done) {
    return pump_.Until(done, [this] {
        if (session_ && session_->Sending()) events_->Tick(session_->Progress());
    });
}

std::string PortRun::PortProblem() const {
    return relay_.PortProblem(port_, engine_.LastOpenError()) + " Its rows are skipped.";
}

void PortRun::Skip(const PlanRow& row, TransferFailure failure) {
    HeadResult result{row.address, "skipped", failure, 0, 0, 0};
    rowEnded_(row, result, UtcNow());
}

void PortRun::Run() {
    std::optional<TransferFailure> failed;  // once the rest of the port's rows are skipped
    if (const std::string problem = waiter_.Problem(); !problem.empty()) {
        events_->Problem(problem);
        failed = TransferFailure::PortEventsFailed;
    }
    for (const PlanRow* row : rows_) {
        if (failed) {
            Skip(*row, *failed);
            continue;
        }
        const std::string started = UtcNow();
        rowOptions_ = base_;
        rowOptions_.port = row->port;
        rowOptions_.addresses = {row->address};
        rowOptions_.protocolIndex = row->protocolIndex;
        rowOptions_.speed = row->speed;
        rowOptions_.speedIndex = row->speedIndex;
        rowOptions_.image = row->path;
        events_->Row(row->line);
        const ImageCheck image = engine_.OpenFirmware(row->path);
        events_->Start(rowOptions_, image.size,
                       (std::int64_t{image.size} + FRAME_DATA_SIZE - 1) / FRAME_DATA_SIZE);
        SerialSettings settings = engine_.LineSettings();
        settings.portName = port_;
        if (!engine_.PortOpen() && !engine_.OpenPort(settings)) {
            failed = relay_.PortFailure();
            events_->Error(*failed, PortProblem());
            Skip(*row, *failed);
            continue;
        }
        relay_.Follow(&session_.emplace(row->address, rowOptions_, engine_, *events_));
        if (!session_->Run([this](const auto& done) { return WaitUntil(done); })) {
            engine_.StopAll();
            session_->Interrupt(pump_.Signal());
            failed = TransferFailure::Interrupted;
        }
        const HeadResult result = session_->Finish();
        relay_.Follow(nullptr);
        session_.reset();
        // A failure that ends a run (the port's, above all) skips the port's other rows.
        if (result.failure && ReasonFor(*result.failure).endsRun) {
            failed = result.failure;
            engine_.StopAll();
        }
        rowEnded_(*row, result, started);
    }
    engine_.StopAll();
}

}  // namespace flash
