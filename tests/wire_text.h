// What the server must receive for a message file, built independently of
// the client, for the unit tests and the message fuzzer: text-mode reading
// folds CR LF into LF; then LF, CR LF and a CR alone each end a line, every
// line goes out with CR LF and a dot doubled at its start; every other byte
// (NUL included) as it is; the end of data follows.
#pragma once

#include <string>

inline std::string WireText(const std::string& file) {
    std::string lf;
    for (size_t i = 0; i < file.size(); i++) {
        if (file[i] == '\r' && i + 1 < file.size() && file[i + 1] == '\n') continue;
        lf += file[i];
    }
    std::string out, line;
    for (size_t i = 0; i <= lf.size(); i++) {
        bool end = i == lf.size();
        if (!end && lf[i] != '\r' && lf[i] != '\n') {
            line += lf[i];
            continue;
        }
        if (end && line.empty()) break;
        out += (line.size() && line[0] == '.' ? "." : "") + line + (end ? "" : "\r\n");
        line.clear();
        if (!end && lf[i] == '\r' && i + 1 < lf.size() && lf[i + 1] == '\n') i++;
    }
    return out + "\r\n.\r\n";
}
