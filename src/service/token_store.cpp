#include "service/token_store.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "convert/plain_file.h"

namespace karvex::service {

namespace {

QByteArray NewToken() {
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}

QString SystemText() { return QString::fromLocal8Bit(std::strerror(errno)); }

}  // namespace

TokenStore::TokenStore(QString path) : path_(std::move(path)) {}

bool TokenStore::Load(QString* error) {
    const QByteArray file = QFile::encodeName(path_);
    // Never through a link, never a pipe, never another user's file: it decides who may sell.
    const int fd = OpenPlainFile(file.toStdString(), O_RDONLY);
    if (fd < 0) {
        if (errno != ENOENT) {
            if (error) *error = QStringLiteral("令牌文件 %1 无法读取（%2）").arg(path_, SystemText());
            return false;
        }
        return Write(NewToken(), error);
    }
    struct stat st {};
    ::fstat(fd, &st);
    // A token others could read is no secret: the file is closed to them before it is used.
    if ((st.st_mode & 077) != 0) ::fchmod(fd, 0600);
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    const QByteArray token = n > 0 ? QByteArray(buf, static_cast<qsizetype>(n)).trimmed() : QByteArray();
    if (token.size() < 16) return Write(NewToken(), error);
    if (token != token_) ++generation_;
    token_ = token;
    inode_ = st.st_ino;
    mtime_ = st.st_mtim;
    ctime_ = st.st_ctim;
    return true;
}

bool TokenStore::Rotate(QString* error) { return Write(NewToken(), error); }

bool TokenStore::Write(const QByteArray& token, QString* error) {
    const QByteArray file = QFile::encodeName(path_);
    const QByteArray temp = file + ".new";
    ::unlink(temp.constData());
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) *error = QStringLiteral("令牌文件 %1 无法写入（%2）").arg(path_, SystemText());
        return false;
    }
    // Root rotating the token of a service that runs as another user leaves it that user's, or the
    // service could not read its own token at its next start.
    const FileOwner owner = OwnerFor(QFileInfo(path_).absolutePath().toStdString());
    if (owner.change && ::fchown(fd, owner.uid, owner.gid) != 0) {
        if (error) *error = QStringLiteral("令牌文件 %1 无法交给数据目录的属主（%2）").arg(path_, SystemText());
        ::close(fd);
        ::unlink(temp.constData());
        return false;
    }
    const QByteArray line = token + '\n';
    const bool written =
        ::write(fd, line.constData(), static_cast<size_t>(line.size())) == line.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temp.constData(), file.constData()) != 0) {
        if (error) *error = QStringLiteral("令牌文件 %1 无法写入（%2）").arg(path_, SystemText());
        ::unlink(temp.constData());
        return false;
    }
    struct stat st {};
    ::stat(file.constData(), &st);
    ++generation_;
    token_ = token;
    inode_ = st.st_ino;
    mtime_ = st.st_mtim;
    ctime_ = st.st_ctim;
    return true;
}

void TokenStore::ReloadIfChanged() {
    struct stat st {};
    if (::stat(QFile::encodeName(path_).constData(), &st) != 0) {
        // Removing the file withdraws the token: nothing is let in until a new one is written.
        if (errno == ENOENT && !token_.isEmpty()) {
            token_.clear();
            inode_ = 0;
            ++generation_;
        }
        return;
    }
    // The change time too: a file rewritten in place within the same clock tick keeps its mtime.
    if (st.st_ino == inode_ && st.st_mtim.tv_sec == mtime_.tv_sec && st.st_mtim.tv_nsec == mtime_.tv_nsec &&
        st.st_ctim.tv_sec == ctime_.tv_sec && st.st_ctim.tv_nsec == ctime_.tv_nsec)
        return;
    const QByteArray old = token_;
    QString ignored;
    if (!Load(&ignored)) token_ = old;
}

bool TokenStore::Accepts(const QByteArray& presented) {
    ReloadIfChanged();
    if (token_.isEmpty() || presented.size() != token_.size()) return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < token_.size(); ++i) diff |= static_cast<unsigned char>(presented[i] ^ token_[i]);
    return diff == 0;
}

}  // namespace karvex::service
