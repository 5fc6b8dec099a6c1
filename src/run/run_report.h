// The JSON record of one run (--report FILE), for a production line's
// database: the tool, the times, the command line, the port, the chip, every
// step with what it moved, and how the run ended. Its fields are described
// by docs/report.schema.json.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/build_form.h"

class RunReport {
public:
    static constexpr int kSchemaVersion = 1;

    // Notes the start of the run and its command line.
    RunReport(int argc, char** argv, const BuildForm& form);

    // Keeps the error text that ended a failed or stopped run. The run driver
    // calls it right before its verdict line, which is no part of that text.
    static void NoteEnding();

    // The document for a run that ended with this process result.
    std::string Document(int status) const;
    // Writes the document into path as a whole (or not at all). Returns the
    // status, or the failed result when a complete run's report could not be
    // written: a line that relies on the report must not take the run as done.
    int Write(const char* path, int status) const;

private:
    BuildForm m_form;
    std::vector<std::string> m_arguments;
    std::chrono::system_clock::time_point m_startWall;
    std::chrono::steady_clock::time_point m_start;
};
