#include "CycleDriver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

StdoutToDevNull::StdoutToDevNull()
{
    std::cout.flush();
    std::fflush(stdout);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        return;
    }
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ >= 0) {
        ::dup2(null_fd, STDOUT_FILENO);
    }
    ::close(null_fd);
}

StdoutToDevNull::~StdoutToDevNull()
{
    if (saved_ < 0) {
        return;
    }
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
}
