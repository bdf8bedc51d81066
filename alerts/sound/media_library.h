// Starting the media library once per process, choosing its sound elements, and
// the pipeline steps every part of the sound layer shares.
#pragma once

#include <cstdint>
#include <string>

#include <gst/gst.h>

namespace varnell::sound {

// How long opening or starting a device may take before it counts as failed.
inline constexpr std::uint32_t kStartWaitMs = 5000;

// Starts the library on first use; false with its reason when it cannot start.
bool InitMedia(std::string& error);

// The sound server's output and capture elements, or the automatic choice.
const char* SinkElement();
const char* SourceElement();

// The first error the pipeline posted, or fallback.
std::string TakeBusError(GstElement* pipeline, const char* fallback);

// Sets the state and waits until it is reached; false on failure or time-out.
bool SetStateAndWait(GstElement* pipeline, GstState state, std::uint32_t timeoutMs);

// Stops and frees the pipeline and sets it to null; null is left alone.
void DestroyPipeline(GstElement*& pipeline);

} // namespace varnell::sound
