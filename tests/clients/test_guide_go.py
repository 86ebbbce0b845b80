"""The guide's Go example, with Debian's github.com/kolo/xmlrpc."""

import os

import guide
import kit


class Go(guide.Example):
    heading, language, file_name = "Go", "go", "main.go"
    packages = ["golang-go", "golang-github-kolo-xmlrpc-dev"]

    def prepare(self, folder):
        return dict(os.environ, GO111MODULE="off", GOPATH="/usr/share/gocode",
                    GOCACHE=guide.cache("go"))

    def command(self):
        return ["go", "run", self.file_name]


if __name__ == "__main__":
    kit.main()
