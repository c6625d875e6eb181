#pragma once
// The bearer token every request must carry. It lives in a file only the service's user may read (0600),
// made at first start; rotating it writes a new one in its place, and the old one is refused from then on.
// The file is looked at again when it changes, so a rotation by `karvexd --rotate-token` beside the running
// service takes effect at once.
#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <cstdint>

namespace karvex::service {

class TokenStore {
public:
    explicit TokenStore(QString path);

    // Reads the token, or makes one when the file is missing or empty. False with the reason in `error`.
    bool Load(QString* error);
    // A new token, written over the file in one rename. False (the old token kept) with the reason.
    bool Rotate(QString* error);
    // True when `presented` is the current token (compared in constant time).
    bool Accepts(const QByteArray& presented);
    const QByteArray& Token() const { return token_; }
    // Looks at the file again; a removed file leaves no token valid until one is written again.
    void Refresh() { ReloadIfChanged(); }
    // Counts the changes of the token, so that what was let in under an older one can be looked at again.
    std::uint64_t Generation() const { return generation_; }
    const QString& Path() const { return path_; }

private:
    bool Write(const QByteArray& token, QString* error);
    void ReloadIfChanged();

    QString path_;
    QByteArray token_;
    ino_t inode_ = 0;
    timespec mtime_{};
    timespec ctime_{};
    std::uint64_t generation_ = 0;
};

}  // namespace karvex::service
