#include "print_server.h"

#include <cups/cups.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kestrun::testing {
namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<std::string> PrintServer::unavailable() const {
    if (std::filesystem::exists(dir_ / "skip")) {
        return readFile(dir_ / "skip");
    }
    return std::nullopt;
}

std::vector<ServerJob> PrintServer::jobs(const std::string& printer) const {
    http_t* http = httpConnect2(socket().c_str(), ippPort(), nullptr, AF_UNSPEC,
                                HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
    if (http == nullptr) {
        throw std::runtime_error("cannot connect to the test print server at " + socket());
    }
    httpSetTimeout(http, 10.0, nullptr, nullptr);
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
    const std::string uri =
        printer.empty() ? "ipp://localhost/" : "ipp://localhost/printers/" + printer;
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    static const char* const wanted[] = {"job-id", "job-state", "job-impressions-completed",
                                         "job-printer-uri"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr,
                  wanted);
    ipp_t* response = cupsDoRequest(http, request, "/");
    const ipp_status_t status = cupsLastError();
    const std::string statusText = cupsLastErrorString();
    httpClose(http);
    if (response == nullptr ||
        (status > IPP_STATUS_OK_EVENTS_COMPLETE && status != IPP_STATUS_ERROR_NOT_FOUND)) {
        ippDelete(response);
        throw std::runtime_error("Get-Jobs on " + socket() + " failed: " + statusText);
    }

    std::vector<ServerJob> jobs;
    ServerJob job;
    for (ipp_attribute_t* attr = ippFirstAttribute(response); attr != nullptr;
         attr = ippNextAttribute(response)) {
        const std::string name = ippGetName(attr) != nullptr ? ippGetName(attr) : "";
        if (name.empty()) {
            if (job.id != 0) {
                jobs.push_back(job);
            }
            job = {};
        } else if (name == "job-id") {
            job.id = ippGetInteger(attr, 0);
        } else if (name == "job-state") {
            job.state = ippGetInteger(attr, 0);
        } else if (name == "job-impressions-completed") {
            job.pages = ippGetInteger(attr, 0);
        } else if (name == "job-printer-uri") {
            const std::string value = ippGetString(attr, 0, nullptr);
            job.printer = value.substr(value.rfind('/') + 1);
        }
    }
    if (job.id != 0) {
        jobs.push_back(job);
    }
    ippDelete(response);
    return jobs;
}

bool PrintServer::waitUntilIdle(std::chrono::seconds wait) const {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        bool busy = false;
        for (const ServerJob& job : jobs()) {
            busy = busy || job.state < IPP_JSTATE_STOPPED;
        }
        if (!busy) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::string PrintServer::logTail() const {
    std::string output;
    runCommand("tail -n 40 '" + (dir_ / "log" / "error_log").string() + "'", &output);
    return output;
}

int PrintServer::pid() const {
    const std::string text = readFile(dir_ / "cupsd.pid");
    return text.empty() ? 0 : std::stoi(text);
}

int runCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        text.append(buffer, n);
    }
    const int status = pclose(pipe);
    if (output != nullptr) {
        *output = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kestrun::testing
