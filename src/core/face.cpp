#include "face.h"

#include "core/server.h"

namespace marlin {

Face::Face(Server &server, QObject *parent) : QObject(parent), server(server)
{
    bindRetry.setInterval(1000);
    connect(&bindRetry, &QTimer::timeout, this, [this] {
        --bindRetriesLeft;
        if (listen(bindRetriesLeft <= 0) || bindRetriesLeft <= 0)
            bindRetry.stop();
    });
    server.addFace(this);
}

Face::~Face() { server.removeFace(this); }

void Face::openAfterPromotion()
{
    bindRetriesLeft = Server::kBindRetries;
    if (!listen(false) && wanted())
        bindRetry.start();
}

void Face::close()
{
    bindRetry.stop();
    closeAll();
}

} // namespace marlin
