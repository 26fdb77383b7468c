"""A wrong KORVA_RELEASE_KEYS fails the configure with a message naming the
file, and leaves no build behind: a missing file, a file that is no PEM public
key (a private key among them), and public keys of the wrong kind. So does a
wrong KORVA_PUBLISHER_CERTS: a missing file, one that is no PEM certificate
(a public key among them), a root, and a file of two certificates.

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


def make_certificates(folder):
    def path(name):
        return os.path.join(folder, name)

    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            path("root.key"), "-out", path("root.crt"), "-subj", "/CN=root", "-days", "30")
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            path("leaf.key"), "-out", path("leaf.csr"), "-subj", "/CN=leaf")
    openssl("x509", "-req", "-in", path("leaf.csr"), "-CA", path("root.crt"), "-CAkey", path("root.key"),
            "-set_serial", "2", "-days", "30", "-out", path("leaf.crt"))
    openssl("x509", "-in", path("leaf.crt"), "-pubkey", "-noout", "-out", path("leaf.pub.pem"))
    with open(path("leaf.crt")) as leaf, open(path("root.crt")) as root, open(path("chain.pem"), "w") as out:
        out.write(leaf.read() + root.read())
    with open(path("garbled.crt"), "w") as f:
        f.write("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n")
    with open(path("text.crt"), "w") as f:
        f.write("not a certificate\n")
    bad = {"missing.crt": None, "text.crt": path("text.crt"), "garbled.crt": path("garbled.crt"),
           "public key": path("leaf.pub.pem"), "private key": path("leaf.key"), "root": path("root.crt"),
           "two certificates": path("chain.pem")}
    return path("leaf.crt"), bad


def configure(source, folder, keys, variable="KORVA_RELEASE_KEYS"):
    build = tempfile.mkdtemp(prefix="build.", dir=folder)
    result = subprocess.run(["cmake", "-S", source, "-B", build, "-D%s=%s" % (variable, ";".join(keys))],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    return result.returncode, result.stdout.decode("utf-8", "replace"), build


def main():
    source = sys.argv[1]
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        good, bad = make_keys(folder)
        cases = [("KORVA_RELEASE_KEYS", good, name, path) for name, path in bad.items()]
        good, bad = make_certificates(folder)
        cases += [("KORVA_PUBLISHER_CERTS", good, name, path) for name, path in bad.items()]
        for variable, good, name, path in cases:
            path = path or os.path.join(folder, name)
            name = "%s %s" % (variable, name)
            # The good key first: the bad one must be found wherever it sits.
            code, output, build = configure(source, folder, [good, path], variable)
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
