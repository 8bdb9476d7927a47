"""fsspec's own conformance tests (copy, get, put, pipe, open) on the cftp file system,
against the real servers."""

import fsspec
import fsspec.tests.abstract as abstract
import pytest

from conftest import fresh_directory


class FTPFixtures(abstract.AbstractFixtures):
    @pytest.fixture
    def fs(self, server):
        # fsspec's instance cache, as users have it: one instance and its sessions for the whole run.
        fs = fsspec.filesystem("cftp", host=server.host, port=server.port, username=server.user,
                               password=server.password, timeout=20)
        fs.invalidate_cache()
        return fs

    @pytest.fixture
    def fs_path(self, fs, server, request):
        return "/" + fresh_directory(server, request)[0]


class TestCopy(abstract.AbstractCopyTests, FTPFixtures):
    pass


class TestGet(abstract.AbstractGetTests, FTPFixtures):
    pass


class TestPut(abstract.AbstractPutTests, FTPFixtures):
    pass


class TestPipe(abstract.AbstractPipeTests, FTPFixtures):
    pass


class TestOpen(abstract.AbstractOpenTests, FTPFixtures):
    pass
