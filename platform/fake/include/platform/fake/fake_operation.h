#pragma once
// The operations of the fake backend that a test can make fail. A FailureScript
// is keyed by them, and so is the script of a fake asset writer: a misspelt
// operation does not compile, and every operation listed here is read by its fake.

#include <optional>
#include <string_view>

namespace platform::fake {

enum class FakeOperation {
    // FakeShareableContent: the fetch throws the error, as the Linux listing does
    // when the display server cannot be read.
    shareableContentFetch,

    // FakeStream: each throws the error.
    streamAddOutput,
    streamStartCapture,
    streamStopCapture,

    // FakeCaptureSessions::makeDeviceInput throws the error.
    captureSessionsMakeDeviceInput,
    // FakeCaptureSession: the session refuses (canAddInput / canAddOutput is false).
    captureSessionAddInput,
    captureSessionAddOutput,
    // startRunning returns with the session not running and startError() set,
    // as a session that failed to start does.
    captureSessionStartRunning,

    // FakePreviewWindows::makeWindow throws the error, as the Linux backend does
    // without a display server.
    previewWindowsMakeWindow,

    // FakeAssetWriters::makeWriter throws the error.
    assetWritersMakeWriter,
    // FakeAssetWriter::canAddInput is false.
    assetWriterAddInput,
    // FakeAssetWriter::startWriting is false and the writer fails with the error.
    assetWriterStartWriting,
    // FakeAssetWriterInput::append is false; the sample is not recorded.
    assetWriterInputAppend,

    // FakeAccessibility: reading the pointer gives no location (it never throws,
    // as on Linux); the other steps throw the error.
    accessibilityPointerLocation,
    accessibilitySystemWide,
    accessibilityElementAtPosition,
    accessibilityRole,
    accessibilityDescription,
};

// The operation's name as the scripting of the test plug-ins spells it
// ("captureSession.addInput", ...).
std::string_view fakeOperationName(FakeOperation operation);
// The operation with that name; nullopt for a name no fake knows.
std::optional<FakeOperation> fakeOperationNamed(std::string_view name);

} // namespace platform::fake
