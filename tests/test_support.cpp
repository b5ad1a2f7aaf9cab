#include "test_support.h"

#include <QFile>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool readCapabilities(__user_cap_header_struct& header,
                      __user_cap_data_struct (&data)[_LINUX_CAPABILITY_U32S_3]) {
    header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, data) == 0;
}

} // namespace

bool dropFileAccessOverride() {
    const int caps[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH};
    __user_cap_header_struct header;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (!readCapabilities(header, data))
        return false;
    bool anyEffective = false;
    for (int cap : caps) {
        anyEffective = anyEffective || (data[CAP_TO_INDEX(cap)].effective & CAP_TO_MASK(cap));
        data[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
    }
    if (!anyEffective)
        return true;
    header = {_LINUX_CAPABILITY_VERSION_3, 0};
    if (syscall(SYS_capset, &header, data) != 0)
        return false;
    // Read back: only what the kernel now holds counts.
    if (!readCapabilities(header, data))
        return false;
    for (int cap : caps)
        if (data[CAP_TO_INDEX(cap)].effective & CAP_TO_MASK(cap))
            return false;
    return true;
}

bool setEffectiveCapability(int cap, bool effective) {
    __user_cap_header_struct header;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (!readCapabilities(header, data))
        return false;
    if (effective)
        data[CAP_TO_INDEX(cap)].effective |= CAP_TO_MASK(cap);
    else
        data[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
    header = {_LINUX_CAPABILITY_VERSION_3, 0};
    if (syscall(SYS_capset, &header, data) != 0 || !readCapabilities(header, data))
        return false;
    return bool(data[CAP_TO_INDEX(cap)].effective & CAP_TO_MASK(cap)) == effective;
}

QByteArray readFileBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray bytes = f.readAll();
    return bytes.isNull() ? QByteArray("") : bytes;
}

bool writeFileBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}
