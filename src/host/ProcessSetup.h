#pragma once

// What a process that runs the services sets up once, before the first
// request: the libraries' process-wide start-up and the signals the services
// rely on. The daemon calls it at start-up; so do the tests, benchmarks and
// fuzz targets that run services in process.

namespace corvane::host {

// Ignores SIGXFSZ (a file size limit then fails the write that meets it, not
// the process), starts libvips and quiets FFmpeg. False when libvips cannot
// start.
bool setUpProcess();

}  // namespace corvane::host
