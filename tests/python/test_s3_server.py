"""The local S3 test store: the operations the object storage features rely
on, with the client settings of s3_server, and the start and stop script."""

import glob
import hashlib
import os
import select
import signal
import subprocess
import sys
import urllib.parse

import pytest

from s3_server import (  # noqa: F401  (s3_bucket, s3_store: fixtures)
    client_config, s3_bucket, s3_store, start_store, stop_store)

botocore_exceptions = pytest.importorskip(
    "botocore.exceptions", reason="boto3 is not installed: pip install boto3==1.43.116")
ClientError = botocore_exceptions.ClientError

MiB = 1 << 20
PART = 5 * MiB  # the smallest part but the last that the store accepts


def error_code(excinfo):
    return excinfo.value.response["Error"]["Code"]


def http_status(excinfo):
    return excinfo.value.response["ResponseMetadata"]["HTTPStatusCode"]


def upload_ids(client, bucket):
    listing = client.list_multipart_uploads(Bucket=bucket)
    return [upload["UploadId"] for upload in listing.get("Uploads", [])]


class TestObjects:
    def test_put_then_get_whole_and_ranges(self, s3_store, s3_bucket):
        client = s3_store.client()
        data = os.urandom(MiB + 123)
        put = client.put_object(Bucket=s3_bucket, Key="dir/object",
                                Body=bytearray(data))
        assert put["ETag"].strip('"') == hashlib.md5(data).hexdigest()

        whole = client.get_object(Bucket=s3_bucket, Key="dir/object")
        assert whole["ContentLength"] == len(data)
        assert whole["Body"].read() == data

        for header, start, end in [("bytes=1000-1999", 1000, 2000),
                                   ("bytes=-100", len(data) - 100, len(data)),
                                   (f"bytes={MiB}-", MiB, len(data))]:
            part = client.get_object(Bucket=s3_bucket, Key="dir/object",
                                     Range=header)
            assert part["ResponseMetadata"]["HTTPStatusCode"] == 206
            assert part["ContentRange"] == f"bytes {start}-{end - 1}/{len(data)}"
            assert part["Body"].read() == data[start:end], header

    def test_missing_object_and_bucket(self, s3_store, s3_bucket):
        client = s3_store.client()
        with pytest.raises(ClientError) as excinfo:
            client.get_object(Bucket=s3_bucket, Key="absent")
        assert error_code(excinfo) == "NoSuchKey"
        with pytest.raises(ClientError) as excinfo:
            client.put_object(Bucket=s3_bucket + "-absent", Key="k", Body=b"x")
        assert error_code(excinfo) == "NoSuchBucket"

    def test_delete_objects_in_bulk(self, s3_store, s3_bucket):
        client = s3_store.client()
        keys = [f"many/{i}" for i in range(5)]
        for key in keys:
            client.put_object(Bucket=s3_bucket, Key=key, Body=key.encode())
        client.put_object(Bucket=s3_bucket, Key="kept", Body=b"kept")

        reply = client.delete_objects(
            Bucket=s3_bucket, Delete={"Objects": [{"Key": k} for k in keys]})
        assert sorted(d["Key"] for d in reply["Deleted"]) == keys
        assert not reply.get("Errors")
        listing = client.list_objects_v2(Bucket=s3_bucket)
        assert [item["Key"] for item in listing["Contents"]] == ["kept"]

    def test_delete_objects_needs_the_md5_the_clients_add(self, s3_store,
                                                          s3_bucket):
        import boto3

        client = s3_store.client()
        client.put_object(Bucket=s3_bucket, Key="k", Body=b"x")
        plain = boto3.session.Session().client(
            "s3", endpoint_url=s3_store.endpoint_url, region_name=s3_store.region,
            aws_access_key_id=s3_store.access_key,
            aws_secret_access_key=s3_store.secret_key, config=client_config())
        with pytest.raises(ClientError) as excinfo:
            plain.delete_objects(Bucket=s3_bucket, Delete={"Objects": [{"Key": "k"}]})
        assert "Content-MD5" in str(excinfo.value)
        assert client.head_object(Bucket=s3_bucket, Key="k")["ContentLength"] == 1


class TestMultipart:
    def test_upload_list_complete(self, s3_store, s3_bucket):
        client = s3_store.client()
        data = os.urandom(2 * PART + 12345)
        upload_id = client.create_multipart_upload(
            Bucket=s3_bucket, Key="big")["UploadId"]
        assert upload_ids(client, s3_bucket) == [upload_id]

        parts = []
        for number, start in enumerate(range(0, len(data), PART), 1):
            body = bytearray(data[start:start + PART])
            reply = client.upload_part(Bucket=s3_bucket, Key="big", UploadId=upload_id,
                                       PartNumber=number, Body=body)
            assert reply["ETag"].strip('"') == hashlib.md5(body).hexdigest()
            parts.append({"PartNumber": number, "ETag": reply["ETag"]})
        listed = client.list_parts(Bucket=s3_bucket, Key="big", UploadId=upload_id)
        assert [p["Size"] for p in listed["Parts"]] == [PART, PART, 12345]

        done = client.complete_multipart_upload(
            Bucket=s3_bucket, Key="big", UploadId=upload_id,
            MultipartUpload={"Parts": parts})
        assert done["ETag"].strip('"').endswith("-3")
        assert upload_ids(client, s3_bucket) == []

        assert client.get_object(Bucket=s3_bucket, Key="big")["Body"].read() == data
        # A range across the first part boundary, as a verifying reader asks.
        across = client.get_object(Bucket=s3_bucket, Key="big",
                                   Range=f"bytes={PART - 10}-{PART + 9}")
        assert across["Body"].read() == data[PART - 10:PART + 10]

    def test_abort_leaves_no_upload(self, s3_store, s3_bucket):
        client = s3_store.client()
        upload_id = client.create_multipart_upload(
            Bucket=s3_bucket, Key="dropped")["UploadId"]
        client.upload_part(Bucket=s3_bucket, Key="dropped", UploadId=upload_id,
                           PartNumber=1, Body=bytearray(PART))
        assert upload_ids(client, s3_bucket) == [upload_id]

        client.abort_multipart_upload(Bucket=s3_bucket, Key="dropped",
                                      UploadId=upload_id)
        assert upload_ids(client, s3_bucket) == []
        with pytest.raises(ClientError) as excinfo:
            client.list_parts(Bucket=s3_bucket, Key="dropped", UploadId=upload_id)
        assert error_code(excinfo) == "NoSuchUpload"
        assert client.list_objects_v2(Bucket=s3_bucket)["KeyCount"] == 0

    def test_short_part_but_the_last_is_refused(self, s3_store, s3_bucket):
        client = s3_store.client()
        upload_id = client.create_multipart_upload(
            Bucket=s3_bucket, Key="short")["UploadId"]
        parts = []
        for number in (1, 2):
            reply = client.upload_part(Bucket=s3_bucket, Key="short",
                                       UploadId=upload_id, PartNumber=number,
                                       Body=bytearray(PART - 1))
            parts.append({"PartNumber": number, "ETag": reply["ETag"]})
        with pytest.raises(ClientError) as excinfo:
            client.complete_multipart_upload(
                Bucket=s3_bucket, Key="short", UploadId=upload_id,
                MultipartUpload={"Parts": parts})
        assert error_code(excinfo) == "EntityTooSmall"
        # A refused completion keeps the upload until it is aborted.
        assert upload_ids(client, s3_bucket) == [upload_id]


    def test_part_numbers_up_to_ten_thousand(self, s3_store, s3_bucket):
        client = s3_store.client()
        upload_id = client.create_multipart_upload(
            Bucket=s3_bucket, Key="numbered")["UploadId"]
        parts = []
        for number, size in ((1, PART), (10000, 1)):
            reply = client.upload_part(Bucket=s3_bucket, Key="numbered",
                                       UploadId=upload_id, PartNumber=number,
                                       Body=bytearray(size))
            parts.append({"PartNumber": number, "ETag": reply["ETag"]})
        with pytest.raises(ClientError) as excinfo:
            client.upload_part(Bucket=s3_bucket, Key="numbered", UploadId=upload_id,
                               PartNumber=10001, Body=bytearray(1))
        assert error_code(excinfo) == "InvalidArgument"
        client.complete_multipart_upload(
            Bucket=s3_bucket, Key="numbered", UploadId=upload_id,
            MultipartUpload={"Parts": parts})
        head = client.head_object(Bucket=s3_bucket, Key="numbered")
        assert head["ContentLength"] == PART + 1


class TestCredentials:
    @pytest.mark.parametrize("wrong", ["secret", "access key"])
    def test_wrong_credentials_are_refused(self, s3_store, s3_bucket, wrong):
        if wrong == "secret":
            client = s3_store.client(secret_key="0" * 40)
        else:
            client = s3_store.client(access_key="test:nobody")
        with pytest.raises(ClientError) as excinfo:
            client.put_object(Bucket=s3_bucket, Key="intruder", Body=b"x")
        # The store answers an unknown key as it does a wrong secret.
        assert http_status(excinfo) == 403
        assert error_code(excinfo) == "SignatureDoesNotMatch"
        assert "signature" in str(excinfo.value).lower()
        assert s3_store.client().list_objects_v2(Bucket=s3_bucket)["KeyCount"] == 0

    def test_environment_alone_configures_a_client(self, s3_store, s3_bucket):
        code = (
            "import sys, boto3\n"
            "client = boto3.client('s3')\n"
            "print(client.meta.endpoint_url)\n"
            "client.put_object(Bucket=sys.argv[1], Key='from-env', Body=b'abc')\n"
        )
        done = subprocess.run(
            [sys.executable, "-c", code, s3_bucket], capture_output=True,
            text=True, env=s3_store.subprocess_env(), timeout=120)
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == s3_store.endpoint_url
        body = s3_store.client().get_object(Bucket=s3_bucket, Key="from-env")["Body"]
        assert body.read() == b"abc"


def server_pids(directory):
    return [int(path.read_text()) for path in sorted((directory / "run").glob("*.pid"))]


def is_running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


def wait_until_exited(pids, timeout):
    """Wait on pidfds (not a polling sleep) until every process has exited."""
    fds = []
    try:
        for pid in pids:
            try:
                fds.append(os.pidfd_open(pid))
            except ProcessLookupError:
                pass
        while fds:
            ready, _, _ = select.select(fds, [], [], timeout)
            if not ready:
                return False
            for fd in ready:
                fds.remove(fd)
                os.close(fd)
        return True
    finally:
        for fd in fds:
            os.close(fd)


def store_listens(endpoint, directory):
    """Whether a process of the store in ``directory`` still listens on the
    endpoint's port. Another program may have been given the freed port
    since: only a listener whose command line names the store counts."""
    port = urllib.parse.urlsplit(endpoint).port
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if int(fields[1].rpartition(":")[2], 16) == port and fields[3] == "0A":
                    inodes.add(f"socket:[{fields[9]}]")
    for fd_dir in glob.glob("/proc/[0-9]*/fd"):
        try:
            held = {os.readlink(os.path.join(fd_dir, fd)) for fd in os.listdir(fd_dir)}
            if held & inodes:
                with open(os.path.join(os.path.dirname(fd_dir), "cmdline"), "rb") as f:
                    if str(directory).encode() in f.read():
                        return True
        except OSError:
            continue  # a process that ended, or one not ours to look at
    return False


class TestScript:
    """Each test here starts a store of its own (a few seconds each); the
    session store only makes them skip where the packages are missing."""

    def test_stop_leaves_no_process(self, s3_store, tmp_path):
        store = start_store(tmp_path / "store", owner=os.getpid())
        try:
            pids = server_pids(store.directory)
            assert len(pids) == 4 and all(map(is_running, pids))
            assert store.endpoint_url != s3_store.endpoint_url
            assert store.client().list_buckets()["Buckets"] == []
            assert store_listens(store.endpoint_url, store.directory)
        finally:
            stop_store(store.directory)
        assert not any(map(is_running, pids))
        assert server_pids(store.directory) == []
        assert not store_listens(store.endpoint_url, store.directory)
        stop_store(store.directory)  # a second stop finds nothing to do

    def test_servers_end_with_their_owner(self, s3_store, tmp_path):
        owner = subprocess.Popen(
            ["sleep", "600"], stdin=subprocess.DEVNULL,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        directory = tmp_path / "store"
        try:
            start_store(directory, owner=owner.pid)
            pids = server_pids(directory)
            assert len(pids) == 4 and all(map(is_running, pids))
            owner.kill()
            owner.wait()
            assert wait_until_exited(pids, timeout=60)
        finally:
            owner.kill()
            owner.wait()
            stop_store(directory)

    def test_start_refuses_a_used_directory(self, s3_store, tmp_path):
        (tmp_path / "left-over").write_text("")
        with pytest.raises(RuntimeError, match="not empty"):
            start_store(tmp_path)
        assert [p.name for p in tmp_path.iterdir()] == ["left-over"]
