"""Processes that share a pid: each draw runs in a grandchild that is pid 1
of a pid namespace of its own, as pids come round again once they wrap.

Imports nothing of the module, so that it can also run as a script in a
fresh interpreter that has not imported it yet:

    pid_one.py LIBCRYPTO MODULE_PARENT

There it draws through LIBCRYPTO directly, as another user of libcrypto in
the same program would, and then prints what two pid-sharing grandchildren
drew when each first imported the module (from MODULE_PARENT, or the
interpreter's own path when that is `installed`) and drew from it.
"""
import ast
import ctypes
import os
import sys

CLONE_NEWPID = 0x20000000
_libc = ctypes.CDLL(None, use_errno=True)


def draw_as_pid_1(draw, prepare=lambda: None):
    """(pid, draw()) of a grandchild that is pid 1 of a new pid namespace
    and ran prepare() first, or the errno with which the child could not
    make one (EPERM without root)."""
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            if _libc.unshare(CLONE_NEWPID) != 0:
                os.write(write_end, repr(ctypes.get_errno()).encode())
            elif os.fork() == 0:
                prepare()
                os.write(write_end, repr((os.getpid(), draw())).encode())
            else:
                os.wait()
        finally:
            os._exit(0)
    os.close(write_end)
    os.waitpid(child, 0)
    with os.fdopen(read_end) as pipe:
        return ast.literal_eval(pipe.read())


def _draw_after_import(module_parent):
    if module_parent != 'installed':
        sys.path.insert(0, module_parent)
    from Korvane import rand
    return rand.bytes(16)


if __name__ == '__main__':
    libcrypto_path, parent = sys.argv[1:3]
    drawn = ctypes.create_string_buffer(16)
    if ctypes.CDLL(libcrypto_path).RAND_bytes(drawn, 16) != 1:
        sys.exit('RAND_bytes failed in the parent')
    print(repr([draw_as_pid_1(lambda: _draw_after_import(parent)) for _ in range(2)]))
