"""A local S3-compatible store for the tests, and S3 clients configured for it.

The store is started by scripts/s3-server.sh. The test command starts one for
the whole run and names its directory in VORN_TEST_S3_DIR; without it, the
`s3_store` fixture starts its own for the session and stops it at the end.

Use in a test module (or once in conftest.py, to share one store between
modules started by the fixture):

    from s3_server import s3_bucket, s3_store  # noqa: F401  (fixtures)

    def test_x(s3_store, s3_bucket):
        s3_store.client().put_object(Bucket=s3_bucket, Key="k", Body=b"...")
"""

from __future__ import annotations

import base64
import hashlib
import os
import shlex
import subprocess
import time
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator, Mapping

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "s3-server.sh"
STORE_DIR_VARIABLE = "VORN_TEST_S3_DIR"
# Exit status of `s3-server.sh start` when the packages are not installed.
EXIT_NOT_INSTALLED = 3


def client_config(**overrides: Any) -> Any:
    """Client settings that this store and other S3-compatible stores accept.

    - Path-style addressing: a store on an IP address has no bucket host
      names.
    - Checksums only where an operation requires one: the store ignores
      the newer checksum headers, so computing them is wasted, and refuses
      the aws-chunked bodies that carry them over TLS.
    - Signed payloads, as the SDK does over plain HTTP: the store checks the
      SHA-256 of every body and refuses a damaged one. Unsigned payloads
      (`payload_signing_enabled: False`) upload about a tenth faster here
      but leave the bytes unchecked, since no checksum goes with them.
    """
    from botocore.config import Config

    settings: dict[str, Any] = dict(
        signature_version="s3v4",
        s3={"addressing_style": "path", "payload_signing_enabled": True},
        request_checksum_calculation="when_required",
        response_checksum_validation="when_required",
        retries={"mode": "standard", "max_attempts": 3},
    )
    settings.update(overrides)
    return Config(**settings)


def send_content_md5(client: Any) -> None:
    """Make `client` send Content-MD5 with DeleteObjects.

    The store refuses DeleteObjects without it, and current SDKs send a
    CRC32 header instead. Registered before the call, so the header is also
    signed and kept on retries.
    """
    def add_md5(params: dict[str, Any], **_: Any) -> None:
        body = params["body"]
        if isinstance(body, str):
            body = body.encode()
        params["headers"]["Content-MD5"] = base64.b64encode(
            hashlib.md5(body).digest()).decode("ascii")

    client.meta.events.register("before-call.s3.DeleteObjects", add_md5)


class StoreUnavailable(Exception):
    """The store's packages are missing and could not be installed."""


@dataclass(frozen=True)
class S3Store:
    directory: Path
    # The standard AWS SDK variables that point a client at this store.
    env: Mapping[str, str]

    @classmethod
    def from_directory(cls, directory: str | os.PathLike[str]) -> S3Store:
        env = {}
        for line in (Path(directory) / "s3.env").read_text().splitlines():
            key, _, value = line.partition("=")
            env[key] = shlex.split(value)[0] if value else ""
        return cls(Path(directory), env)

    @property
    def endpoint_url(self) -> str:
        return self.env["AWS_ENDPOINT_URL_S3"]

    @property
    def access_key(self) -> str:
        return self.env["AWS_ACCESS_KEY_ID"]

    @property
    def secret_key(self) -> str:
        return self.env["AWS_SECRET_ACCESS_KEY"]

    @property
    def region(self) -> str:
        return self.env["AWS_DEFAULT_REGION"]

    def client(self, *, access_key: str | None = None,
               secret_key: str | None = None, config: Any = None) -> Any:
        """A boto3 S3 client for this store, with the settings above."""
        import boto3

        client = boto3.session.Session().client(
            "s3",
            endpoint_url=self.endpoint_url,
            region_name=self.region,
            aws_access_key_id=access_key or self.access_key,
            aws_secret_access_key=secret_key or self.secret_key,
            config=config or client_config(),
        )
        send_content_md5(client)
        return client

    def subprocess_env(self) -> dict[str, str]:
        """os.environ with this store's variables, for a child process."""
        return {**os.environ, **self.env}


def _run_script(*args: str) -> subprocess.CompletedProcess[str]:
    # A sanitizer runtime preloaded into the suite has no business in the
    # store's shell and servers.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run([str(SCRIPT), *args], capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, env=env)


def start_store(directory: str | os.PathLike[str],
                owner: int | None = None) -> S3Store:
    """Start a store in `directory` (new or empty).

    Installs the packages first when they are missing; raises
    StoreUnavailable when that fails, RuntimeError when the store does not
    start. With `owner`, the servers stop by themselves when that process
    ends.
    """
    args = ["start", str(directory)]
    if owner is not None:
        args += ["--owner", str(owner)]
    started = _run_script(*args)
    if started.returncode == EXIT_NOT_INSTALLED:
        installed = _run_script("install")
        if installed.returncode != 0:
            raise StoreUnavailable(
                "the object storage packages for the local S3 store could "
                f"not be installed ({SCRIPT} install): "
                + (installed.stderr.strip() or f"exit {installed.returncode}"))
        started = _run_script(*args)
    if started.returncode != 0:
        raise RuntimeError(f"{SCRIPT} start failed:\n{started.stderr}")
    return S3Store.from_directory(directory)


def stop_store(directory: str | os.PathLike[str]) -> None:
    stopped = _run_script("stop", str(directory))
    if stopped.returncode != 0:
        raise RuntimeError(f"{SCRIPT} stop failed:\n{stopped.stderr}")


@pytest.fixture(scope="session")
def s3_store(request: pytest.FixtureRequest,
             tmp_path_factory: pytest.TempPathFactory) -> Iterator[S3Store]:
    """The test command's store if it started one, else one of our own."""
    shared = os.environ.get(STORE_DIR_VARIABLE)
    if shared:
        yield S3Store.from_directory(shared)
        return
    directory = tmp_path_factory.mktemp("s3-store")
    try:
        store = start_store(directory, owner=os.getpid())
    except StoreUnavailable as error:
        pytest.skip(str(error))
    request.addfinalizer(lambda: stop_store(directory))
    yield store


def remove_bucket(client: Any, bucket: str) -> None:
    """Abort the bucket's multipart uploads, delete its objects, then it."""
    uploads = client.get_paginator("list_multipart_uploads")
    for page in uploads.paginate(Bucket=bucket):
        for upload in page.get("Uploads", []):
            client.abort_multipart_upload(Bucket=bucket, Key=upload["Key"],
                                          UploadId=upload["UploadId"])
    for page in client.get_paginator("list_objects_v2").paginate(Bucket=bucket):
        keys = [{"Key": item["Key"]} for item in page.get("Contents", [])]
        if keys:
            reply = client.delete_objects(Bucket=bucket, Delete={"Objects": keys})
            if reply.get("Errors"):
                raise RuntimeError(f"could not empty {bucket}: {reply['Errors']}")
    try:
        client.delete_bucket(Bucket=bucket)
    except client.exceptions.NoSuchBucket:
        pass  # a retry of a removal that the store carried out but answered late


@pytest.fixture
def s3_bucket(s3_store: S3Store) -> Iterator[str]:
    """A new, empty bucket, removed with all its contents afterwards."""
    client = s3_store.client()
    bucket = f"test-{uuid.uuid4().hex[:12]}"
    client.create_bucket(Bucket=bucket)
    yield bucket
    remove_bucket(client, bucket)


def uploads_left(client: Any, bucket: str) -> list[dict[str, Any]]:
    """The bucket's multipart uploads that were neither completed nor aborted."""
    uploads: list[dict[str, Any]] = client.list_multipart_uploads(
        Bucket=bucket).get("Uploads", [])
    return uploads


def wait_for_a_stored_part(client: Any, bucket: str, deadline: float = 120.0) -> bool:
    """Until a part of a multipart upload is in the store (a writer has
    started uploading), looking every 20 ms; False after ``deadline`` seconds."""
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        for upload in uploads_left(client, bucket):
            parts = client.list_parts(Bucket=bucket, Key=upload["Key"],
                                      UploadId=upload["UploadId"])
            if parts.get("Parts"):
                return True
        time.sleep(0.02)
    return False
