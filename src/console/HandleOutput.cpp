// Bytes to a handle of the seam, with the system's reason when they fail.
#include "console/HandleOutput.h"

namespace chartseal {

namespace {

constexpr std::size_t kBuffer = 64 * 1024;

}  // namespace

HandleOutput::int_type HandleOutput::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_ += traits_type::to_char_type(c);
    if (pending_.size() >= kBuffer) send();
    return c;
}

std::streamsize HandleOutput::xsputn(const char* s, std::streamsize n)
{
    pending_.append(s, static_cast<std::size_t>(n));
    if (pending_.size() >= kBuffer) send();
    return n;
}

int HandleOutput::sync()
{
    send();
    return 0;
}

void HandleOutput::send()
{
    std::string bytes = std::move(pending_);
    pending_.clear();
    for (std::size_t done = 0; done < bytes.size();) {
        std::error_code ec;
        const std::size_t n = ops_.write(handle_, bytes.data() + done, bytes.size() - done, ec);
        if (ec) throw RunError(name_, "cannot write", ec);
        if (n == 0) throw RunError(name_, "cannot write: no progress");
        done += n;
    }
}

}  // namespace chartseal
