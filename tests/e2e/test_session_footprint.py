"""What every connection thread carries whatever it does: the server's static thread-local
block is laid out at the top of each thread's stack, beside the thread's own control block, so
a large thread_local (a random generator, a buffer) costs a resident page on each of up to
10,000 session threads."""
import struct
import unittest

from harness import server_binary

PT_TLS = 7
# The thread control block takes a little over half of the top page of a stack; what is left
# of it holds the thread-local block and the first frames.
MAX_TLS_BYTES = 1024


def tls_size(path):
    """PT_TLS memory size of an ELF64 little-endian executable (0 when it has none)."""
    with open(path, "rb") as f:
        header = f.read(64)
        if header[:4] != b"\x7fELF" or header[4] != 2 or header[5] != 1:
            raise AssertionError(f"{path} is not a 64-bit little-endian ELF file")
        phoff = struct.unpack_from("<Q", header, 0x20)[0]
        phentsize, phnum = struct.unpack_from("<HH", header, 0x36)
        f.seek(phoff)
        table = f.read(phentsize * phnum)
    for i in range(phnum):
        p_type = struct.unpack_from("<I", table, i * phentsize)[0]
        if p_type == PT_TLS:
            return struct.unpack_from("<Q", table, i * phentsize + 40)[0]
    return 0


class SessionFootprintTest(unittest.TestCase):
    def test_the_thread_local_block_stays_small(self):
        size = tls_size(server_binary())
        self.assertLessEqual(size, MAX_TLS_BYTES,
                             f"zorvic-server has {size} bytes of thread-local data; keep large "
                             "per-thread state on the heap or shared, not thread_local")


if __name__ == "__main__":
    unittest.main()
