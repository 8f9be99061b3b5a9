"""A cube in object storage, read through s3fs from an S3 server on this
machine (moto's), in few GET requests (counted by the server) and bit for
bit as from the file's bytes: opening, a Dask chunk of 16 rows, a pixel, a
band map."""

import numpy as np
import pytest

import ixarkit
import ixarwriter as w
from checks import AB3, same

moto_server = pytest.importorskip("moto.server")
s3fs = pytest.importorskip("s3fs")
fsspec = pytest.importorskip("fsspec")

# 40 rows of 128 records of 1700 values (6,960 bytes with the info record
# between them): the benchmark cube's records, 35.6 MB.
DATA = w.image_map(np.random.default_rng(8).standard_normal((40, 128, 1700), dtype=np.float32),
                   4000.0, 400.0).tobytes()


@pytest.fixture(scope="module")
def s3():
    """(storage options, the requests the server got: (method, Range))."""
    requests, serve = [], moto_server.DomainDispatcherApplication.__call__

    def counted(app, environ, start_response):
        requests.append((environ["REQUEST_METHOD"], environ.get("HTTP_RANGE")))
        return serve(app, environ, start_response)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(moto_server.DomainDispatcherApplication, "__call__", counted)
        server = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
        server.start()
        host, port = server.get_host_and_port()
        options = dict(endpoint_url=f"http://{host}:{port}", key="testing", secret="testing")
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("ixarkit")
        fs.pipe("ixarkit/cube.ixar", DATA)
        mp.setitem(fsspec.config.conf, "s3", options)  # for ixarkit.open("s3://...")
        yield options, requests
        server.stop()


def gets(requests):
    """GET requests and the bytes they asked for, since the last call."""
    ranges = [r for m, r in requests if m == "GET"]
    requests.clear()
    return len(ranges), sum(int(b) - int(a) + 1 for a, b in (r.split("=")[1].split("-") for r in ranges))


@pytest.mark.parametrize("how", ["url", "openfile", "file object"])
def test_few_requests(s3, how):
    pytest.importorskip("dask")
    options, requests = s3
    with ixarkit.open(DATA) as local:
        expected, band = local[AB3].read().spectra, local[AB3].band(1800, 1650)
    url = "s3://ixarkit/cube.ixar"
    requests.clear()
    source = {"url": url, "openfile": fsspec.open(url, **options),
              "file object": s3fs.S3FileSystem(**options).open(url, cache_type="none")}[how]
    with ixarkit.open(source) as f:
        assert gets(requests)[0] <= 2  # the size checked at the end, then header and directory
        block = f[AB3]
        if how != "file object":  # a Dask task opens the file again
            same(block.to_dask(chunks=(16, -1, -1)).blocks[0].compute(scheduler="sync"), expected[:16])
            assert gets(requests)[0] <= 8
        same(block[20, 64], expected[20, 64])
        count, size = gets(requests)
        assert count <= 1 and size <= 64 << 10
        same(block.band(1800, 1650), band)
        assert gets(requests)[0] <= 7  # the whole file: 64 KiB, then 1 to 16 MiB a request
    if how == "file object":
        source.close()
