#include "platform/fake/fake_operation.h"

namespace platform::fake {
namespace {

constexpr std::string_view kUnknown = "unknown";

} // namespace

std::string_view fakeOperationName(FakeOperation operation) {
    // No default: the compiler warns about an operation left without a name.
    switch (operation) {
    case FakeOperation::shareableContentFetch: return "shareableContent.fetch";
    case FakeOperation::streamAddOutput: return "stream.addOutput";
    case FakeOperation::streamStartCapture: return "stream.startCapture";
    case FakeOperation::streamStopCapture: return "stream.stopCapture";
    case FakeOperation::captureSessionsMakeDeviceInput: return "captureSessions.makeDeviceInput";
    case FakeOperation::captureSessionAddInput: return "captureSession.addInput";
    case FakeOperation::captureSessionAddOutput: return "captureSession.addOutput";
    case FakeOperation::captureSessionStartRunning: return "captureSession.startRunning";
    case FakeOperation::previewWindowsMakeWindow: return "previewWindows.makeWindow";
    case FakeOperation::assetWritersMakeWriter: return "assetWriters.makeWriter";
    case FakeOperation::assetWriterAddInput: return "assetWriter.addInput";
    case FakeOperation::assetWriterStartWriting: return "assetWriter.startWriting";
    case FakeOperation::assetWriterInputAppend: return "assetWriterInput.append";
    case FakeOperation::accessibilityPointerLocation: return "accessibility.pointerLocation";
    case FakeOperation::accessibilitySystemWide: return "accessibility.systemWide";
    case FakeOperation::accessibilityElementAtPosition: return "accessibility.elementAtPosition";
    case FakeOperation::accessibilityRole: return "accessibility.role";
    case FakeOperation::accessibilityDescription: return "accessibility.description";
    }
    return kUnknown;
}

std::optional<FakeOperation> fakeOperationNamed(std::string_view name) {
    // The operations are numbered from 0 without gaps: the first number without a
    // name lies past the last one.
    for (int number = 0;; ++number) {
        const auto operation = static_cast<FakeOperation>(number);
        const std::string_view known = fakeOperationName(operation);
        if (known == kUnknown) return std::nullopt;
        if (known == name) return operation;
    }
}

} // namespace platform::fake
