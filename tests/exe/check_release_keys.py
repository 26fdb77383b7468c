"""A wrong KORVA_RELEASE_KEYS fails the configure with a message naming the
file, and leaves no build behind: a missing file, a file that is no PEM public
key (a private key among them), and public keys of the wrong kind.

Usage: check_release_keys.py SOURCE_DIR (keys are made here, at test time)."""
import os
import subprocess
import sys
import tempfile


def openssl(*arguments):
    subprocess.run(["openssl"] + list(arguments), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_keys(folder):
    good = os.path.join(folder, "good.pub.pem")
    private = os.path.join(folder, "good.key.pem")
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", private)
    openssl("pkey", "-in", private, "-pubout", "-out", good)
    bad = {"missing.pub.pem": None, "private key.pem": private}
    with open(os.path.join(folder, "text.pem"), "w") as f:
        f.write("not a key\n")
    bad["text.pem"] = os.path.join(folder, "text.pem")
    with open(os.path.join(folder, "garbled.pem"), "w") as f:
        f.write("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n")
    bad["garbled.pem"] = os.path.join(folder, "garbled.pem")
    compressed = os.path.join(folder, "compressed.pub.pem")
    openssl("ec", "-in", private, "-pubout", "-conv_form", "compressed", "-out", compressed)
    bad["compressed.pub.pem"] = compressed
    for name, algorithm in (("p384", ["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"]),
                            ("rsa", ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024"]),
                            ("ed25519", ["-algorithm", "ED25519"])):
        key = os.path.join(folder, name + ".key.pem")
        openssl("genpkey", *algorithm, "-out", key)
        openssl("pkey", "-in", key, "-pubout", "-out", os.path.join(folder, name + ".pub.pem"))
        bad[name + ".pub.pem"] = os.path.join(folder, name + ".pub.pem")
    # A P-256 key written with explicit curve parameters instead of the name.
    explicit = os.path.join(folder, "explicit.pub.pem")
    openssl("ec", "-in", private, "-pubout", "-param_enc", "explicit", "-out", explicit)
    bad["explicit.pub.pem"] = explicit
    return good, bad


def configure(source, folder, keys):
    build = tempfile.mkdtemp(prefix="build.", dir=folder)
    result = subprocess.run(["cmake", "-S", source, "-B", build, "-DKORVA_RELEASE_KEYS=" + ";".join(keys)],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    return result.returncode, result.stdout.decode("utf-8", "replace"), build


def main():
    source = sys.argv[1]
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        good, bad = make_keys(folder)
        for name, path in bad.items():
            path = path or os.path.join(folder, name)
            # The good key first: the bad one must be found wherever it sits.
            code, output, build = configure(source, folder, [good, path])
            flat = " ".join(output.split())
            if code == 0:
                failures.append("%s: the configure succeeded" % name)
            elif path not in flat:
                failures.append("%s: the message does not name the file:\n%s" % (name, output))
            elif os.path.exists(os.path.join(build, "build.ninja")) or os.path.exists(os.path.join(build, "Makefile")):
                failures.append("%s: build files were written" % name)
            else:
                print("refused %s" % name)
    for failure in failures:
        print("FAIL: " + failure)
    sys.exit(1 if failures else 0)


main()
