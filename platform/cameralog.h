#pragma once
// The logging category of the capture drivers and windows,
// "ferrowick.camera": why a source was lost, and what GStreamer said about
// it (its message and debug detail), with the camera it concerns.
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(cameraLog)
