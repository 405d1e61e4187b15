"""Where the result goes: standard output, or -o OUT, a regular file
replaced atomically or anything else written in place."""
import errno
import os
import re
import stat
import sys

from .errors import CliError

STDOUT_LABEL = "<stdout>"


def _descriptor_named(path):
    """The descriptor of this process that path names, or None."""
    match = re.match(r"/(?:dev/(?:std(out|err)|fd/(\d+))"
                     r"|proc/(?:self|thread-self|%d)/fd/(\d+))\Z"
                     % os.getpid(), path)
    if match is None:
        return None
    if match.group(1):
        return 1 if match.group(1) == "out" else 2
    return int(match.group(2) or match.group(3))


def _special_target(path):
    """How to write to path, where renaming over it would be wrong.

    ("fd", N) where path, or a symbolic link it leads through, names a
    descriptor of this process (/dev/stdout, /dev/fd/N, /proc/self/fd/N):
    written as it is, so that an appending or piped standard output stays
    so. ("open",) where it leads into /dev or /proc: opened and written in
    place. None otherwise.
    """
    path = os.path.abspath(path)
    for _ in range(40):
        for form in (os.path.normpath(path),
                     os.path.join(os.path.realpath(os.path.dirname(path)),
                                  os.path.basename(path))):
            fd = _descriptor_named(form)
            if fd is not None:
                return "fd", fd
        path = form
        if path.startswith(("/dev/", "/proc/")):
            return ("open",)
        if not os.path.islink(path):
            return None
        path = os.path.join(os.path.dirname(path), os.readlink(path))
    return None


def _open(path, flags, mode=0o777):
    # O_BINARY, on Windows, keeps the C runtime from writing "\n" as
    # "\r\n"; O_CLOEXEC is POSIX's.
    flags |= getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)
    return os.open(path, flags, mode)


def _binary_mode(fd):
    # Python starts with its standard descriptors in binary mode on
    # Windows, but whoever embeds it need not have.
    if sys.platform == "win32":
        import msvcrt
        msvcrt.setmode(fd, os.O_BINARY)


def _wait_writable(fd):
    if sys.platform == "win32":
        # select() takes sockets only there
        import time
        time.sleep(0.01)
    else:
        import select
        select.select([], [fd], [])


def _write_all(fd, chunks):
    for chunk in chunks:
        view = memoryview(chunk)
        while view:
            try:
                written = os.write(fd, view)
            except BlockingIOError:
                # a descriptor left non-blocking by whoever opened it
                _wait_writable(fd)
                continue
            except OSError as exc:
                # Windows reports a pipe whose reader went away as EINVAL
                if (exc.errno == errno.EINVAL and sys.platform == "win32"
                        and _is_pipe(fd)):
                    raise BrokenPipeError(errno.EPIPE, exc.strerror)
                raise
            view = view[written:]


def _is_pipe(fd):
    try:
        return stat.S_ISFIFO(os.fstat(fd).st_mode)
    except OSError:
        return False


def _write_in_place(path, chunks):
    fd = _open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
    try:
        _write_all(fd, chunks)
    finally:
        os.close(fd)


def _new_file_mode():
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _replace_file(path, chunks):
    """Replaces the regular file path leads to, atomically, by rename."""
    import tempfile
    target = os.path.realpath(path)
    try:
        old = os.stat(target)
    except FileNotFoundError:
        old = None
    if old is not None:
        # Refuse what a shell redirection would refuse (a read-only file),
        # by the kernel's own check; opening without O_TRUNC changes nothing.
        os.close(_open(target, os.O_WRONLY))
    try:
        fd, tmp = tempfile.mkstemp(
            dir=os.path.dirname(target),
            prefix="." + os.path.basename(target) + ".", suffix=".tmp")
    except PermissionError:
        if old is None:
            raise
        # A writable file in a directory that is not: written in place, as
        # a shell redirection would, since no rename can replace it.
        _write_in_place(target, chunks)
        return
    # mkstemp opens in binary mode and makes the file 0600. Windows has no
    # fchown, nor fchmod before Python 3.13, and its modes are only the
    # read-only flag, which a target that passed the check above lacks.
    mode = _new_file_mode() if old is None else stat.S_IMODE(old.st_mode)
    fchmod = getattr(os, "fchmod", None)
    try:
        try:
            _write_all(fd, chunks)
            os.fsync(fd)
            if old is not None and hasattr(os, "fchown") and (
                    (old.st_uid, old.st_gid) != (os.getuid(), os.getgid())):
                # before the mode: a change of owner clears set-user-ID
                try:
                    os.fchown(fd, old.st_uid, old.st_gid)
                except OSError:
                    pass
            if fchmod is not None:
                fchmod(fd, mode)
        finally:
            os.close(fd)
        if fchmod is None:
            os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def write_output(path, chunks):
    """Writes to path: standard output for None or '-'; a regular file (or
    a new one) is replaced atomically; anything else (a device, a FIFO, a
    socket, a terminal, /dev/stdout) is opened and written in place."""
    label = STDOUT_LABEL if path in (None, "-") else path
    try:
        special = ("fd", 1) if path in (None, "-") else _special_target(path)
        if special is not None and special[0] == "fd":
            _binary_mode(special[1])
            _write_all(special[1], chunks)
            return
        if special is None:
            try:
                regular = stat.S_ISREG(os.stat(path).st_mode)
            except FileNotFoundError:
                regular = True
            if regular:
                _replace_file(path, chunks)
                return
        _write_in_place(path, chunks)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise CliError("%s: cannot write: %s" % (label, exc.strerror or exc))


def broken_pipe_exit():
    """Ends the process as the reader going away should; returns the exit
    status should it still run."""
    import signal
    try:
        # a flush at exit must not meet the broken pipe again
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    except OSError:
        pass
    if not hasattr(signal, "SIGPIPE"):
        # Windows: no signal to die of. The status of a failure, but no
        # message: the reader chose to stop reading.
        return 2
    # End as cat does, killed by SIGPIPE (which Python ignores), so the
    # shell sees the status it sees for other filters.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)
    return 128 + signal.SIGPIPE
