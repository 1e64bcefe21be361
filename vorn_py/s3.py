"""Object storage targets: ``s3://bucket/key`` for one object and
``s3://bucket/prefix/`` for a data set of objects, the client that reaches
them, and one-line messages for what the store answers.

    from vorn_py.dataset import write_dataset
    from vorn_py.s3 import S3Target

    write_dataset("s3://bucket/set/", 10 << 30, files=100, dedup_ratio=2)
    write_dataset(S3Target("s3://bucket/set/", endpoint_url="http://127.0.0.1:9000",
                           path_style=True, part_size=16 << 20, concurrency=8),
                  10 << 30, files=100)

The endpoint, region and credentials come from the AWS SDK for Python's
usual sources (``AWS_ENDPOINT_URL_S3``, ``AWS_DEFAULT_REGION``,
``AWS_ACCESS_KEY_ID``, ``AWS_PROFILE``, ``~/.aws/config`` and
``~/.aws/credentials`` ...); ``endpoint_url`` and ``path_style`` override
them. The SDK is the optional extra ``vorn_py[s3]``; this module imports it
only when a client is made.
"""

from __future__ import annotations

import importlib
import os
import re
import urllib.parse
from dataclasses import dataclass, field
from typing import Any, TypeGuard, Union

SCHEME = "s3://"
MiB = 1 << 20
# Multipart limits common to S3-compatible stores: every part but the last
# at least 5 MiB, at most 5 GiB, at most 10,000 parts.
MIN_PART_SIZE = 5 * MiB
MAX_PART_SIZE = 5 << 30
MAX_PARTS = 10_000
# Measured against a local store with bench/s3_bench.py: 32 MiB parts, four
# in flight, uploaded generated data an eighth to a quarter faster than 16
# MiB parts (fewer requests, each with its own signing and round trip);
# 64 MiB parts were no faster for generated data, for four times the
# memory of 16 MiB. More in flight than four gained nothing.
DEFAULT_PART_SIZE = 32 * MiB
DEFAULT_CONCURRENCY = 4
MAX_CONCURRENCY = 256

INSTALL_HINT = "pip install 'vorn_py[s3]'"


class S3Unavailable(ImportError):
    """The AWS SDK for Python is not installed; the message says how to get it."""


class S3Error(Exception):
    """A request the store refused or that could not reach it; one line
    naming what was asked and why it failed."""


@dataclass(frozen=True)
class S3Target:
    """Where objects go or are read from, and how to upload them.

    ``url`` is ``s3://bucket/key`` (one object) or ``s3://bucket/prefix/``
    (a data set of objects named prefix + the data set's file names).
    ``endpoint_url`` and ``path_style`` (path-style addressing,
    ``http://host/bucket/key``) override the SDK's configuration; None
    leaves it to that. Uploads use parts of ``part_size`` bytes (None: the
    default, raised for objects that would need more than 10,000 parts),
    ``concurrency`` of them in flight."""

    url: str
    endpoint_url: str | None = None
    path_style: bool | None = None
    part_size: int | None = None
    concurrency: int = DEFAULT_CONCURRENCY
    bucket: str = field(init=False, compare=False)
    key: str = field(init=False, compare=False)

    def __post_init__(self) -> None:
        if not isinstance(self.url, str) or not self.url.startswith(SCHEME):
            raise ValueError(f"an object storage target is s3://bucket/key, not {self.url!r}")
        bucket, _, key = self.url[len(SCHEME):].partition("/")
        if not bucket:
            raise ValueError(f"{self.url} names no bucket: s3://bucket/key")
        if not re.fullmatch(r"[A-Za-z0-9._-]+", bucket):
            raise ValueError(f"{self.url}: {bucket!r} is not a bucket name "
                             "(letters, digits, '.', '-' and '_')")
        object.__setattr__(self, "bucket", bucket)
        object.__setattr__(self, "key", key)
        if self.endpoint_url is not None:
            _check_endpoint(self.endpoint_url)
        if self.part_size is not None:
            _check_whole("part_size", self.part_size, MIN_PART_SIZE, MAX_PART_SIZE)
        _check_whole("concurrency", self.concurrency, 1, MAX_CONCURRENCY)

    @property
    def is_prefix(self) -> bool:
        """Whether the URL names a prefix (ends with "/" or has no key)."""
        return self.key == "" or self.key.endswith("/")

    def object_key(self) -> str:
        """The key of the one object the URL names."""
        if self.is_prefix:
            raise ValueError(f"{self.url} names a prefix, not an object: name an object "
                             "(s3://bucket/key) or write a data set of objects into it")
        return self.key

    def prefix(self) -> str:
        """The URL's key as the prefix of a data set: "" or ending in "/"."""
        return self.key if self.is_prefix else self.key + "/"

    def url_of(self, key: str) -> str:
        return f"{SCHEME}{self.bucket}/{key}"

    def part_size_for(self, largest_object: int) -> int:
        """The part size for objects of up to ``largest_object`` bytes: the
        one asked for, which must give at most 10,000 parts, or the default
        raised to whole MiB until it does."""
        needed = -(-largest_object // MAX_PARTS)
        if self.part_size is not None:
            if self.part_size < needed:
                raise ValueError(f"an object of {largest_object} bytes in parts of "
                                 f"{self.part_size} bytes needs more than {MAX_PARTS} parts: "
                                 f"use parts of at least {-(-needed // MiB)} MiB")
            return self.part_size
        size = max(DEFAULT_PART_SIZE, -(-needed // MiB) * MiB)
        if size > MAX_PART_SIZE:
            raise ValueError(f"an object of {largest_object} bytes needs more than "
                             f"{MAX_PARTS} parts of {MAX_PART_SIZE} bytes, the largest "
                             "a store takes")
        return size


Location = Union[str, S3Target]


def is_s3(target: object) -> TypeGuard[Location]:
    """Whether ``target`` is an object storage target (a URL or an S3Target)."""
    return isinstance(target, S3Target) or (isinstance(target, str)
                                            and target.startswith(SCHEME))


def as_target(target: Location) -> S3Target:
    return target if isinstance(target, S3Target) else S3Target(target)


# ------------------------------------------------------------------ client

def sdk(module: str = "boto3") -> Any:
    """Import a module of the AWS SDK for Python, or say how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise S3Unavailable(f"object storage needs the AWS SDK for Python (boto3), which is "
                            f"not installed: {INSTALL_HINT}") from exc


# Settings a store may or may not take, and the values used unless the
# SDK's configuration (its environment variables or config file) sets them:
# the newer checksums are ignored or refused (as aws-chunked bodies) by many
# S3-compatible stores, while signed payloads over HTTP, MD5 ETags and the
# manifest already check what was sent.
_QUIET_DEFAULTS = {
    "request_checksum_calculation": ("AWS_REQUEST_CHECKSUM_CALCULATION", "when_required"),
    "response_checksum_validation": ("AWS_RESPONSE_CHECKSUM_VALIDATION", "when_required"),
}


# The SDK's service descriptions, parsed once per process: reading them is
# most of what making a client costs (a tenth of a second or more).
_loader: Any = None


def make_client(target: S3Target, connections: int | None = None) -> Any:
    """An S3 client configured by the SDK's usual sources and ``target``,
    with room for ``connections`` requests at once (default: the target's
    concurrency). Raises S3Unavailable or S3Error."""
    global _loader
    boto3 = sdk()
    botocore_session = sdk("botocore.session")
    config_module = sdk("botocore.config")
    exceptions = sdk("botocore.exceptions")
    try:
        core = botocore_session.get_session()
        if _loader is None:
            _loader = sdk("botocore.loaders").create_loader()
        core.register_component("data_loader", _loader)
        scoped = core.get_scoped_config()
        session = boto3.session.Session(botocore_session=core)
        settings: dict[str, Any] = {
            "max_pool_connections": max(10, (connections or target.concurrency) + 2)}
        for name, (variable, value) in _QUIET_DEFAULTS.items():
            if variable not in os.environ and name not in scoped:
                settings[name] = value
        if target.path_style is not None:
            settings["s3"] = {"addressing_style": "path" if target.path_style else "virtual"}
        client = session.client("s3", endpoint_url=target.endpoint_url,
                                config=config_module.Config(**settings))
    except (exceptions.BotoCoreError, ValueError) as exc:
        # ValueError: a setting the SDK cannot take (an endpoint URL it cannot
        # parse, AWS_MAX_ATTEMPTS that is not a number).
        raise S3Error(f"cannot set up a client for {target.url}: {exc}") from None
    return client


# ----------------------------------------------------------------- errors

_CREDENTIALS = ("check the access key and the secret key (AWS_ACCESS_KEY_ID and "
                "AWS_SECRET_ACCESS_KEY, or those of the profile in use)")


def error_code(exc: BaseException) -> str | None:
    """The store's error code in a refused request's answer ("NoSuchBucket";
    the HTTP status for answers without a body, such as HEAD's)."""
    response = getattr(exc, "response", None)
    if not isinstance(response, dict):
        return None
    code = response.get("Error", {}).get("Code")
    return str(code) if code else None


def explain(exc: BaseException, bucket: str) -> str:
    """Why a request failed, in words, for the end of a message."""
    response = getattr(exc, "response", None)
    if isinstance(response, dict):
        error = response.get("Error", {})
        code = str(error.get("Code", "")) or "unknown error"
        status = response.get("ResponseMetadata", {}).get("HTTPStatusCode")
        message = str(error.get("Message", "")).rstrip(".")
        if code in ("SignatureDoesNotMatch", "InvalidAccessKeyId"):
            return f"the store refused the credentials ({code}): {_CREDENTIALS}"
        if code in ("NoSuchBucket",):
            return f"the bucket {bucket} does not exist (NoSuchBucket)"
        if code in ("AccessDenied", "Forbidden", "403"):
            return f"access denied ({code}): check the credentials and the bucket's permissions"
        if code in ("NoSuchUpload",):
            return ("the multipart upload no longer exists (NoSuchUpload): it was aborted, "
                    "or its bucket removed, by someone else")
        if code in ("NoSuchKey", "404"):
            return "no such object (NoSuchKey)"
        detail = f"{message} " if message and message != code else ""
        return f"{detail}({code}{f', HTTP {status}' if status else ''})"
    name = type(exc).__name__
    if name in ("NoCredentialsError", "PartialCredentialsError"):
        return ("no credentials found: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, "
                "or a profile in the shared credentials file (AWS_PROFILE, "
                "AWS_SHARED_CREDENTIALS_FILE)")
    if name in ("EndpointConnectionError", "ConnectTimeoutError"):
        return f"cannot reach the store: {exc}"
    text = str(exc).strip().replace("\n", " ") or name
    return text


def _check_endpoint(url: str) -> None:
    if not re.match(r"https?://[^/]", url):
        raise ValueError(f"the endpoint URL must start with http:// or https://, not {url!r}")
    try:
        urllib.parse.urlsplit(url).port  # brackets and the port are checked here
    except ValueError:
        raise ValueError(f"{url!r} is not a valid URL") from None
    if re.search(r"\s", url):
        raise ValueError(f"{url!r} is not a valid URL: it holds white space")


def _check_whole(name: str, value: int, minimum: int, maximum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if not minimum <= value <= maximum:
        raise ValueError(f"{name} must be between {minimum} and {maximum}, got {value}")
    return value
