// Files for streaming software: the title on air as one line of text, and the picture on show.
// Each file is replaced in one step (a temporary file beside it, flushed, then renamed over it),
// so a reader polling it sees the old content or the new one, never a part. The writing happens
// on a thread of its own: a slow disk or a flush that takes seconds never stalls the window.
#pragma once

#include "covers/cover_set.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

// The file a configured path names: relative paths are taken from folder. Empty when not set.
// The configured text is UTF-8 (so on Windows any folder name works).
std::filesystem::path ResolveOutputPath(const std::filesystem::path& folder, std::string_view configured);

// The text written for a title: its UTF-8 form on one line (line breaks and other control
// characters become spaces), without a line end; the placeholder titles give the empty text.
std::string OutputTitleText(std::u16string_view title);

class StreamOutputs {
public:
    // An empty path switches that file off. Configured files start empty: the text file is
    // emptied and the picture removed, so nothing of an earlier run shows.
    StreamOutputs(std::filesystem::path titleFile, std::filesystem::path coverFile);
    // Stops the writer, waiting at most kStopWaitMs.
    ~StreamOutputs();
    StreamOutputs(const StreamOutputs&) = delete;
    StreamOutputs& operator=(const StreamOutputs&) = delete;

    // Main thread. Each asks for the file to be written unless it already holds (or is about to
    // hold) that content; only the latest request waiting for the writer counts. A write that
    // fails is dropped silently: the next change tries again.
    void PublishTitle(std::string text);
    void PublishCover(CoverBytes picture);  // null: remove the file

    // Waits at most timeoutMs until every request so far has been written or has failed.
    bool WaitIdle(int timeoutMs);
    // Writes what is still waiting, then ends the writer thread; waits at most timeoutMs. A
    // writer still busy afterwards (a stalled disk) finishes on its own and touches only state
    // it shares ownership of.
    void Stop(int timeoutMs);

    static constexpr int kStopWaitMs = 1500;

    // What the writer thread shares with this object (defined in the source file).
    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
    // What was last asked for, so that a repaint or a rotation onto the same picture costs
    // nothing. Main thread only.
    std::string lastTitle_;
    CoverBytes lastCover_;
};
